// Reads an image in 12288-sector calls through SectorSource and compares the throughput with
// `cat IMAGE > /dev/null` measured in the same run. Usage: bench_read [IMAGE] (default: a
// 1 GiB pseudo-random file in /tmp, created once).
#include <fmt/core.h>

#include <vector>

#include "bench_util.h"
#include "source/platform_file.h"
#include "source/sector_source.h"

int main(int argc, char** argv) {
    using namespace mdf;
    std::string image = argc > 1 ? argv[1] : "/tmp/mdfrecover-bench-1g.img";
    if (argc <= 1) bench::ensureRandomFile(image, 1ull << 30);
    const std::int64_t bytes = byteSizeOf(image);
    const std::int64_t sectors = bytes / kSectorSize;

    double cat = bench::bestShellSeconds(3, "cat '" + image + "' > /dev/null");

    std::vector<std::uint8_t> buffer(12288 * kSectorSize);
    double ours = bench::bestSeconds(3, [&] {
        SectorSource source;
        source.select(SourceKind::ImageFile, image, sectors);
        source.setReadLimit(sectors);
        for (std::int64_t s = 0; s < sectors; s += 12288) {
            auto n = static_cast<std::uint32_t>(std::min<std::int64_t>(12288, sectors - s));
            if (!source.readSectors(n, buffer.data(), s)) throw std::runtime_error("read failed");
        }
    });
    fmt::print("image            {} ({:.0f} MiB)\n", image, bytes / 1048576.0);
    fmt::print("cat > /dev/null  {:8.1f} MB/s\n", bench::mbPerSecond(bytes, cat));
    fmt::print("readSectors      {:8.1f} MB/s\n", bench::mbPerSecond(bytes, ours));
    fmt::print("ratio            {:8.3f}\n", cat / ours);
}
