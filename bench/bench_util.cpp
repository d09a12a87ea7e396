#include "bench_util.h"

#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

namespace mdf::bench {

double bestSeconds(int runs, const std::function<void()>& fn) {
    double best = std::numeric_limits<double>::max();
    for (int i = 0; i < runs; ++i) {
        auto start = std::chrono::steady_clock::now();
        fn();
        std::chrono::duration<double> d = std::chrono::steady_clock::now() - start;
        best = std::min(best, d.count());
    }
    return best;
}

double bestShellSeconds(int runs, const std::string& command) {
    return bestSeconds(runs, [&] {
        if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
    });
}

void ensureRandomFile(const std::string& path, std::uint64_t size, std::uint32_t seed) {
    std::error_code ec;
    if (std::filesystem::file_size(path, ec) == size && !ec) return;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::mt19937_64 rng(seed);
    std::vector<std::uint64_t> block(1 << 17);
    for (std::uint64_t written = 0; written < size;) {
        for (auto& w : block)
            w = rng();
        std::uint64_t n = std::min<std::uint64_t>(size - written, block.size() * 8);
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
        written += n;
    }
}

double mbPerSecond(std::uint64_t bytes, double seconds) {
    return static_cast<double>(bytes) / (1024.0 * 1024.0) / seconds;
}

}  // namespace mdf::bench
