#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace mdf::bench {

// Wall time of fn in seconds, best of runs (page-cached data makes the first run the outlier).
double bestSeconds(int runs, const std::function<void()>& fn);
// Wall time of a shell command, best of runs.
double bestShellSeconds(int runs, const std::string& command);
// Creates path with size bytes of pseudo-random data unless it already has that size.
void ensureRandomFile(const std::string& path, std::uint64_t size, std::uint32_t seed = 1);
double mbPerSecond(std::uint64_t bytes, double seconds);
// Drops the file's pages from the page cache (written back first), so that its next read goes
// to the disk.
void dropFromPageCache(const std::string& path);

// A process run to its end: wall time, peak resident memory, exit status (128 when killed).
struct Run {
    double seconds = 0;
    long maxRssKiB = 0;
    int status = 0;
};
// Runs argv as a process, its standard output to outPath (or thrown away), its standard error
// thrown away, and times it.
Run runProcess(const std::vector<std::string>& argv, const std::string& outPath = "/dev/null");

}  // namespace mdf::bench
