// CREATE MDF of a 2 GiB file from 1,000 fragments against `cp` of a file of the same size, and
// SEARCH MORE over 10,000 and 100,000 fragments of which a fifth are left for it to find.
#include <fmt/core.h>

#include <filesystem>
#include <random>

#include "assembly/mdf_writer.h"
#include "assembly/search_more.h"
#include "bench_util.h"
#include "session/recovery_session.h"
#include "support/page_builder.h"
#include "support/sector_image.h"

namespace {

using namespace mdf;

void createMdf() {
    const std::string image = "/tmp/mdfrecover-bench/create-2g.img";
    bench::ensureRandomFile(image, 2ull << 30, 7);
    const std::int64_t pagesPerFragment = 262;  // 1,000 fragments: about 2 GiB
    SilentReporter reporter;
    RecoverySession session(reporter);
    session.source.select(SourceKind::ImageFile, image, (2ll << 30) / 512);
    session.source.setReadLimit((2ll << 30) / 512);
    session.volume.sectorsPerCluster = 16;
    std::vector<std::int64_t> slots(1000);
    for (std::int64_t i = 0; i < 1000; ++i)
        slots[static_cast<std::size_t>(i)] = i;
    std::shuffle(slots.begin(), slots.end(), std::mt19937(1));
    std::vector<FragmentRecord> records;
    for (std::int64_t k = 0; k < 1000; ++k)
        records.push_back(composeFragment(
            static_cast<std::int32_t>(k + 1), static_cast<std::int32_t>(pagesPerFragment),
            slots[static_cast<std::size_t>(k)] * pagesPerFragment * 16,
            static_cast<std::int32_t>(k * pagesPerFragment), " "));
    session.fragments.replace(records);
    session.analysis.combinationMarks.assign(1000, 1);
    session.analysis.expectedPageCount = static_cast<std::int32_t>(1000 * pagesPerFragment);
    session.combination.RefreshCombinationList(session.fragments,
                                               session.analysis.combinationMarks);
    session.sortCombinationByStartPage();
    const std::string out = "/tmp/mdfrecover-bench/created.mdf";
    // Alternated, so that both meet the same state of the page cache and of writeback.
    double create = 1e9, cp = 1e9;
    for (int round = 0; round < 3; ++round) {
        create = std::min(create, bench::bestSeconds(1, [&] { session.Button2Click(out); }));
        cp = std::min(cp, bench::bestShellSeconds(1, "cp " + out + " /tmp/mdfrecover-bench/copied.mdf"));
    }
    const std::int64_t bytes = static_cast<std::int64_t>(std::filesystem::file_size(out));
    fmt::print(
        "CREATE MDF  {:.2f} GiB from 1000 fragments: {:.2f} s ({:.0f} MB/s); cp: {:.2f} s ({:.0f} "
        "MB/s); "
        "ratio cp/create {:.3f}\n",
        bytes / 1073741824.0, create, bench::mbPerSecond(bytes, create), cp,
        bench::mbPerSecond(bytes, cp), cp / create);
    std::filesystem::remove("/tmp/mdfrecover-bench/copied.mdf");
}

void searchMore(std::int32_t n) {
    // One page per fragment, every page of the file on the image; the map already knows who owns
    // every page, as it would after an analysis, and one fragment in five is not yet combined.
    const std::string image = "/tmp/mdfrecover-bench/search-" + std::to_string(n) + ".img";
    constexpr std::int32_t kOwner = 4711;
    test::SectorImage source(image, 16 * std::int64_t{n} + 16);
    for (std::int32_t p = 0; p < n; ++p)
        source.put(16 * std::int64_t{p}, p == 0 ? test::PageBuilder::fileHeaderPage(1, n)
                                                : test::PageBuilder::dataPage(p, 1, 1, kOwner));
    SilentReporter reporter;
    RecoverySession session(reporter);
    session.source.select(SourceKind::ImageFile, image, source.sectors());
    session.source.setReadLimit(source.sectors());
    std::vector<FragmentRecord> records;
    for (std::int32_t p = 0; p < n; ++p)
        records.push_back(composeFragment(p + 1, 1, 16 * std::int64_t{p}, p, " "));
    session.fragments.replace(records);
    session.index = buildFragmentIndex(session.fragments);
    session.analysis.expectedPageCount = n;
    session.analysis.pageMap.reset(n);
    for (std::int32_t p = 0; p < n; ++p) {
        PageMapEntry* e = session.analysis.pageMap.at(p);
        *e = {kOwner, 0, 1, 0};
    }
    session.analysis.combinationMarks.assign(static_cast<std::size_t>(n), 1);
    for (std::int32_t p = 1; p < n; p += 5)
        session.analysis.combinationMarks[static_cast<std::size_t>(p)] = 0;
    session.combination.RefreshCombinationList(session.fragments,
                                               session.analysis.combinationMarks);
    double seconds = bench::bestSeconds(1, [&] { session.Button6Click(); });
    const std::size_t combined = session.combination.rows.size();
    fmt::print("SEARCH MORE {:>7} fragments, {:>6} to find: {:.3f} s ({:.2f} us per fragment){}\n",
               n, n / 5, seconds, seconds * 1e6 / n,
               combined == static_cast<std::size_t>(n) ? "" : "  (not all found!)");
}

}  // namespace

int main() {
    std::filesystem::create_directories("/tmp/mdfrecover-bench");
    createMdf();
    searchMore(10000);
    searchMore(100000);
}
