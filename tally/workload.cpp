// The counting workload: fill, scan, slicing rule and report.
//
// The fill must give, element for element, what srand(0) followed by one
// rand() % 4 per element gives; nothing else in a program calls rand().
#include "workload.h"

#include <cstdlib>

std::int32_t *array = nullptr;
std::int32_t tofind = 0;

bool workload_fill(std::int32_t n)
{
    void *block = std::malloc(static_cast<std::size_t>(n) * sizeof(std::int32_t));
    if (block == nullptr)
        return false;
    array = static_cast<std::int32_t *>(block);
    tofind = 3;
    std::srand(0);
    for (std::int32_t i = 0; i < n; i++)
        array[i] = std::rand() % 4;
    return true;
}

std::int32_t workload_scan(std::int32_t first, std::int32_t length)
{
    const std::int32_t *p = array + first;
    const std::int32_t value = tofind;
    std::int32_t count = 0;
    for (std::int32_t i = 0; i < length; i++)
        count += p[i] == value;
    return count;
}

slice_t workload_slice(std::int32_t size, std::int32_t workers, std::int32_t p)
{
    const std::int32_t regular = size / workers;
    const std::int32_t first = regular * p;  // at most size - regular
    const std::int32_t length = p == workers - 1 ? size - first : regular;
    return slice_t{first, length};
}

double workload_elapsed_ms(const timeval &start, const timeval &end)
{
    const std::int64_t us =
        (static_cast<std::int64_t>(end.tv_sec) - start.tv_sec) * 1000000 +
        (static_cast<std::int64_t>(end.tv_usec) - start.tv_usec);
    return static_cast<double>(us) / 1000.0;
}

void workload_report(std::FILE *out, std::int32_t total, const timeval &start,
                     const timeval &end)
{
    std::fprintf(out, "Count of %d = %d\n", tofind, total);
    std::fprintf(out, "Elapsed time (ms) = %lf\n", workload_elapsed_ms(start, end));
}
