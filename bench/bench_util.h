#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>

namespace mdf::bench {

// Wall time of fn in seconds, best of runs (page-cached data makes the first run the outlier).
double bestSeconds(int runs, const std::function<void()>& fn);
// Wall time of a shell command, best of runs.
double bestShellSeconds(int runs, const std::string& command);
// Creates path with size bytes of pseudo-random data unless it already has that size.
void ensureRandomFile(const std::string& path, std::uint64_t size, std::uint32_t seed = 1);
double mbPerSecond(std::uint64_t bytes, double seconds);

}  // namespace mdf::bench
