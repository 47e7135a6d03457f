// forktally's process workers: each child counts one slice of the inherited
// array and sends its count through a pipe of its own as one 4-byte record
// (a signed 32-bit integer in host byte order); the parent reads the record
// and checks it before adding it.
#pragma once

#include <cstdint>

// The child's count: the workload scan over [first, first + length).
std::int32_t docount(std::int32_t first, std::int32_t length);

// Creates a pipe and forks a child that counts its slice, writes its record
// and ends with _exit. Returns the read end to the parent, or -1 after
// reporting "pipe: reason" or "fork: reason" on stderr.
int launchWorker(std::int32_t first, std::int32_t length);

// Reads worker p's record from fd into *count. A record that is short, fails
// to read or holds a count outside 0..length is reported on stderr, naming
// the worker, and gives false: the caller must not print a total then.
bool collect_record(int fd, std::int32_t p, std::int32_t length, std::int32_t *count);
