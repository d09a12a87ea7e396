// Saving the content of N one-page fragments and reading every page back through
// readContentSectors, for N = 10,000 and N = 100,000: the time per fragment should not grow.
#include <fmt/core.h>

#include <filesystem>

#include "bench_util.h"
#include "scan/scan_info_file.h"
#include "session/recovery_session.h"
#include "testworld/page_builder.h"
#include "testworld/sector_image.h"

int main() {
    using namespace mdf;
    std::filesystem::create_directories("/tmp/mdfrecover-bench");
    const std::string image = "/tmp/mdfrecover-bench/content-source.img";
    test::SectorImage source(image, 100000 * 8 + 64);
    for (std::int32_t i = 0; i < 100000; i += 997)
        source.put(16 + 8 * std::int64_t{i}, test::PageBuilder::dataPage(i + 1));
    fmt::print("{:>9} {:>10} {:>13} {:>11} {:>10} {:>13}\n", "fragments", "save s", "save us/frag",
               "save MB/s", "read s", "read us/page");
    for (std::int32_t n : {10000, 100000}) {
        SilentReporter reporter;
        RecoverySession session(reporter);
        session.openImage(image, ImageKind::WholeDisk);
        FragmentList list;
        std::vector<FragmentRecord> records;
        for (std::int32_t i = 0; i < n; ++i)
            records.push_back(composeFragment(i + 1, 1, 16 + 8 * std::int64_t{i}, i + 1, " "));
        list.replace(records);
        const std::string info = "/tmp/mdfrecover-bench/content.info",
                          content = "/tmp/mdfrecover-bench/content.bin";
        writeScanInfo(info, list, 1);
        session.openScan(info, std::nullopt);
        double save = bench::bestSeconds(1, [&] { session.saveScan(info, content, 12345); });

        RecoverySession opened(reporter);
        opened.openScan(info, content);
        std::array<std::uint8_t, 8192> page{};
        std::int64_t failures = 0;
        double read = bench::bestSeconds(1, [&] {
            for (const FragmentRecord& r : opened.fragments())
                failures += !opened.pages().readFragmentSectors(r.fsec, 0, 16, page.data());
        });
        const double bytes = static_cast<double>(std::filesystem::file_size(content));
        fmt::print("{:>9} {:>10.3f} {:>13.2f} {:>11.0f} {:>10.3f} {:>13.2f}{}\n", n, save,
                   save * 1e6 / n, bytes / 1048576.0 / save, read, read * 1e6 / n,
                   failures ? fmt::format("  ({} reads failed)", failures) : "");
    }
}
