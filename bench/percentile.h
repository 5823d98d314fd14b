// Percentile by nearest rank, header-only so that the Windows benchmark,
// which cannot link the POSIX support file, uses the same definition.
#ifndef ZRQ_BENCH_PERCENTILE_H
#define ZRQ_BENCH_PERCENTILE_H

#include <stddef.h>

#include <algorithm>
#include <vector>

namespace bench {

// Percentile p (0..100) of a sample, by nearest rank; 0 for an empty one.
inline double Percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    size_t rank = static_cast<size_t>(p / 100.0 * static_cast<double>(values.size()) + 0.5);
    rank = std::min(std::max<size_t>(rank, 1), values.size());
    return values[rank - 1];
}

}  // namespace bench

#endif
