// The scan through direct I/O on an image the page cache does not hold, against `dd
// iflag=direct bs=8M` of the same file: the file's cached pages are dropped with
// posix_fadvise(DONTNEED) before every run, and the two alternate round by round.
//
// Usage: bench_direct_scan [IMAGE] [--rounds R]
// (default IMAGE: the 4 GiB image bench_recover builds in /tmp/mdfrecover-bench)
#include <fcntl.h>
#include <fmt/core.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_util.h"

namespace {

// Wall seconds of a process, its output thrown away; negative when it failed.
double run(const std::vector<std::string>& argv) {
    const mdf::bench::Run r = mdf::bench::runProcess(argv);
    return r.status == 0 ? r.seconds : -r.seconds;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string image = "/tmp/mdfrecover-bench/recover-x1.img";
    int rounds = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--rounds" && i + 1 < argc)
            rounds = std::atoi(argv[++i]);
        else
            image = a;
    }
    if (!std::filesystem::exists(image)) {
        fmt::print(stderr, "{} does not exist; bench_recover builds it\n", image);
        return 2;
    }
    const double gib = static_cast<double>(std::filesystem::file_size(image)) / 1073741824.0;
    const std::string info = "/tmp/mdfrecover-bench/direct-scan.info";
    const std::vector<std::string> dd = {"dd", "if=" + image, "of=/dev/null", "bs=8M",
                                         "iflag=direct"};
    const std::vector<std::string> scan = {MDFRECOVER, "scan",        image, "--stride",
                                           "8",        "--direct-io", "-o",  info};
    std::vector<double> ddTimes, scanTimes, ratios;
    for (int r = 0; r < rounds; ++r) {
        mdf::bench::dropFromPageCache(image);
        const double d = run(dd);
        std::filesystem::remove(info);
        mdf::bench::dropFromPageCache(image);
        const double s = run(scan);
        if (d <= 0 || s <= 0) {
            fmt::print(stderr, "round {}: a run failed (dd {:.2f}, scan {:.2f})\n", r + 1, d, s);
            return 1;
        }
        ddTimes.push_back(d);
        scanTimes.push_back(s);
        ratios.push_back(d / s);
        fmt::print(
            "round {}   dd iflag=direct {:.2f} s ({:.0f} MiB/s), scan --direct-io {:.2f} s "
            "({:.0f} MiB/s), scan/dd throughput {:.2f}\n",
            r + 1, d, gib * 1024 / d, s, gib * 1024 / s, d / s);
    }
    std::filesystem::remove(info);
    mdf::bench::dropFromPageCache(image);
    const std::vector<std::string> buffered = {MDFRECOVER, "scan", image, "--stride",
                                               "8",        "-o",   info};
    const double plain = run(buffered);
    fmt::print("image          {} ({:.1f} GiB), uncached before every run\n", image, gib);
    fmt::print("dd direct      min {:.2f} s, median {:.2f} s\n",
               *std::min_element(ddTimes.begin(), ddTimes.end()), median(ddTimes));
    fmt::print("scan direct    min {:.2f} s, median {:.2f} s\n",
               *std::min_element(scanTimes.begin(), scanTimes.end()), median(scanTimes));
    fmt::print("throughput of the scan against dd: min {:.2f}, median {:.2f}\n",
               *std::min_element(ratios.begin(), ratios.end()), median(ratios));
    fmt::print("for comparison, the scan through the page cache, uncached: {:.2f} s\n", plain);
    std::filesystem::remove(info);
    return 0;
}
