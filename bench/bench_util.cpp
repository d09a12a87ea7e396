#include "bench_util.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

namespace mdf::bench {

void dropFromPageCache(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    ::fdatasync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
}

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

Run runProcess(const std::vector<std::string>& argv, const std::string& outPath) {
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (out >= 0) ::dup2(out, 1);
        if (null >= 0) ::dup2(null, 2);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    Run r;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.maxRssKiB = usage.ru_maxrss;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    return r;
}

}  // namespace mdf::bench
