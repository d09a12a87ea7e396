// The chain analysis of a 10 GiB database lying in about 5,000 fragments among 1,000 stale
// copies of parts of it (20 % competitors): the scan, then the analysis, with the pages read per
// fragment accepted. The image (about 11 GiB) is built once in /tmp/mdfrecover-bench.
// Usage: bench_analysis [PAGES]   (default 1310720 pages = 10 GiB)
#include <fmt/core.h>

#include <filesystem>

#include "bench_util.h"
#include "session/recovery_session.h"
#include "testworld/test_world.h"

int main(int argc, char** argv) {
    using namespace mdf;
    const std::int32_t pages = argc > 1 ? std::atoi(argv[1]) : 1310720;
    std::filesystem::create_directories("/tmp/mdfrecover-bench");
    const std::string image = "/tmp/mdfrecover-bench/analysis-" + std::to_string(pages) + ".img";
    const std::int32_t meanFragment = std::max(8, pages / 5000);
    if (!std::filesystem::exists(image)) {
        test::DatabaseRecipe recipe;
        recipe.pages = pages;
        recipe.usedPages = pages / 20 * 19;
        test::SyntheticDatabase db(recipe);
        test::RawImageOptions options;
        options.minFragmentPages = meanFragment / 2;
        options.maxFragmentPages = meanFragment * 3 / 2;
        options.staleCopies = 1000;
        options.computeHashes = false;
        fmt::print("building {} ...\n", image);
        double built = bench::bestSeconds(1, [&] { test::buildRawImage(db, image, options); });
        fmt::print("built in {:.0f} s\n", built);
    }
    SilentReporter reporter;
    RecoverySession session(reporter);
    session.openImage(image, ImageKind::WholeDisk);
    session.settings().sectorsPerCluster = 8;
    double scan = bench::bestSeconds(1, [&] {
        (void)(session.startScan() == StartResult::Started);
        session.waitForJobs();
    });
    // The image holds two databases with file id 1; ours is the one whose page 0 states its size.
    std::uint64_t reads = 0;
    double analysis = 0;
    for (const auto& row : session.listDatabaseFiles()) {
        const std::uint64_t readsBefore = session.source().platformReads();
        analysis = bench::bestSeconds(1, [&] {
            session.startAnalysis(row);
            session.waitForJobs();
        });
        reads = session.source().platformReads() - readsBefore;
        if (session.analysis().expectedPageCount == pages) break;
    }
    const std::size_t accepted = session.analysis().recordedFragments.size();
    double more = bench::bestSeconds(1, [&] { (void)session.searchMore(); });
    fmt::print("image             {} ({:.1f} GiB)\n", image,
               std::filesystem::file_size(image) / 1073741824.0);
    fmt::print("scan (stride 8)   {:.1f} s, {} fragments\n", scan, session.fragments().size());
    fmt::print(
        "analysis          {:.1f} s, {} fragments accepted, {} page reads, {:.1f} reads per "
        "accepted fragment\n",
        analysis, accepted, reads, accepted ? static_cast<double>(reads) / accepted : 0.0);
    fmt::print("search more       {:.1f} s, combination of {} fragments\n", more,
               session.combination().rows.size());
}
