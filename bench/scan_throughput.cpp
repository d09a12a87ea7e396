// Scan throughput on a page-cached image of about 2 GiB (a database of 250,000 pages cut into
// fragments with junk between them), stride 8, against a plain sequential read of the same image
// in 6 MiB preads and `cat IMAGE > /dev/null`, measured in the same run: the scan engine alone,
// and the scan as a recovery runs it (the session's, which also gathers the sector sums for the
// split-page search and keeps the pages the analysis will ask for).
// Usage: bench_scan [IMAGE] [--recovery-only] (only the recovery's scan, ten times, for a profile)
#include <fmt/core.h>

#include <filesystem>

#include "bench_util.h"
#include "report/reporter.h"
#include "scan/scan_engine.h"
#include "session/recovery_session.h"
#include "source/platform_file.h"
#include "source/sector_source.h"
#include "testworld/test_world.h"
#include "whole_scan.h"

int main(int argc, char** argv) {
    using namespace mdf;
    const bool recoveryOnly = argc > 1 && std::string(argv[argc - 1]) == "--recovery-only";
    if (recoveryOnly) --argc;
    std::string image = argc > 1 ? argv[1] : "/tmp/mdfrecover-bench/scan-2g.img";
    if (argc <= 1 && !std::filesystem::exists(image)) {
        std::filesystem::create_directories("/tmp/mdfrecover-bench");
        test::DatabaseRecipe recipe;
        recipe.pages = 250000;
        recipe.usedPages = 250000;
        test::SyntheticDatabase db(recipe);
        test::RawImageOptions options;
        options.minFragmentPages = 50;
        options.maxFragmentPages = 400;
        options.computeHashes = false;
        fmt::print("building {} ...\n", image);
        test::buildRawImage(db, image, options);
    }
    const std::int64_t bytes = byteSizeOf(image);
    const std::int64_t sectors = bytes / 512;
    bench::bestShellSeconds(1, "cat '" + image + "' > /dev/null");  // into the page cache

    auto recoveryScan = [&] {
        SilentReporter reporter;
        RecoverySession session(reporter);
        session.openImage(image, ImageKind::WholeDisk);
        session.settings().sectorsPerCluster = 8;
        if (session.startScan() == StartResult::Started) session.waitForJobs();
        return session.fragments().size();
    };
    if (recoveryOnly) {
        const double seconds = bench::bestSeconds(10, recoveryScan);
        fmt::print("a recovery's scan   {:8.1f} MB/s\n", bench::mbPerSecond(bytes, seconds));
        return 0;
    }
    double cat = bench::bestShellSeconds(5, "cat '" + image + "' > /dev/null");
    std::vector<std::uint8_t> buffer(12288 * 512);
    double pread = bench::bestSeconds(5, [&] {
        auto file = openReadOnly(image);
        for (std::int64_t at = 0; at < bytes; at += static_cast<std::int64_t>(buffer.size()))
            file->readAt(buffer.data(), buffer.size(), static_cast<std::uint64_t>(at));
    });
    std::size_t fragments = 0;
    double scan = bench::bestSeconds(5, [&] { fragments = bench::scanWholeImage(image, sectors); });
    std::size_t sessionFragments = 0;
    double sessionScan = bench::bestSeconds(5, [&] { sessionFragments = recoveryScan(); });
    fmt::print("image               {} ({:.2f} GiB, {} fragments found)\n", image,
               bytes / 1073741824.0, fragments);
    fmt::print("cat > /dev/null     {:8.1f} MB/s\n", bench::mbPerSecond(bytes, cat));
    fmt::print("6 MiB pread loop    {:8.1f} MB/s\n", bench::mbPerSecond(bytes, pread));
    fmt::print("scan, stride 8      {:8.1f} MB/s\n", bench::mbPerSecond(bytes, scan));
    fmt::print("scan / pread loop   {:8.3f}\n", pread / scan);
    fmt::print("scan / cat          {:8.3f}\n", cat / scan);
    fmt::print("a recovery's scan   {:8.1f} MB/s ({} fragments; sector sums, pages kept)\n",
               bench::mbPerSecond(bytes, sessionScan), sessionFragments);
    fmt::print("a recovery's scan / cat {:8.3f}\n", cat / sessionScan);
}
