"""One line naming the machine that benchmark numbers come from: the CPU
model, the number of CPUs, the x86-64 vector extensions and the transparent
huge page mode. Imported by the benchmark scripts beside this file."""
import os
import re

VECTOR_FLAGS = ("sse2", "avx", "avx2", "avx512f", "avx512bw", "avx512vl")


def huge_page_mode():
    try:
        with open("/sys/kernel/mm/transparent_hugepage/enabled") as f:
            return re.search(r"\[(\w+)\]", f.read()).group(1)
    except (OSError, AttributeError):
        return "unknown"


def describe():
    model, flags = "unknown CPU", set()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                key, _, value = line.partition(":")
                if key.strip() == "model name" and model == "unknown CPU":
                    model = value.strip()
                elif key.strip() == "flags":
                    flags = set(value.split())
    except OSError:
        pass
    vector = " ".join(v for v in VECTOR_FLAGS if v in flags) or "unknown"
    return (f"{model}; {os.cpu_count()} CPUs; vector: {vector}; "
            f"transparent huge pages: {huge_page_mode()}")
