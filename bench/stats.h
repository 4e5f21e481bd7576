// Order statistics the benchmark programs report, all of them the same way.
#ifndef KEYHOLD_BENCH_STATS_H
#define KEYHOLD_BENCH_STATS_H

#include <algorithm>
#include <cstddef>
#include <vector>

namespace keyhold_bench {

// Nearest-rank percentile (p in 0..1) of sorted, non-empty values.
inline double Percentile(const std::vector<double>& sorted, double p) {
    std::size_t rank = static_cast<std::size_t>(p * static_cast<double>(sorted.size()) + 0.999999);
    rank = std::clamp<std::size_t>(rank, 1, sorted.size());
    return sorted[rank - 1];
}

// Median of sorted, non-empty values.
inline double Median(const std::vector<double>& sorted) {
    const std::size_t n = sorted.size();
    return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
}

}  // namespace keyhold_bench

#endif
