// The x86-64 instruction-set levels that the count and the fill are built
// for, and the one decision of which level this CPU runs.
//
// Every per-level kernel is compiled once per level (level_sse2.cpp,
// level_avx2.cpp, level_avx512.cpp, each for its own instruction set), so the
// default build stays portable: it carries all three and runs the widest one
// the CPU has. The programs' count and fill both run tally_level_best().
#pragma once

enum tally_level_t { tally_level_sse2, tally_level_avx2, tally_level_avx512 };

// Whether this CPU, and the operating system, which must save the wider
// registers, can run the given level. Any thread may call it.
bool tally_level_supported(tally_level_t level);

// The widest supported level: the one the programs run.
tally_level_t tally_level_best();

// "sse2", "avx2" or "avx512".
const char *tally_level_name(tally_level_t level);
