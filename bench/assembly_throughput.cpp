// CREATE MDF of a 2 GiB file from 1,000 fragments against `cp` of a file of the same size, and
// SEARCH MORE over 10,000 and 100,000 fragments of which a fifth are left for it to find.
#include <fmt/core.h>

#include <filesystem>
#include <random>

#include "assembly/mdf_writer.h"
#include "assembly/search_more.h"
#include "bench_util.h"
#include "report/reporter.h"
#include "testworld/page_builder.h"
#include "testworld/sector_image.h"

namespace {

using namespace mdf;

// The state the commands of the fourth tab work on, set up directly as an analysis would leave it.
struct AssemblyState {
    SilentReporter reporter;
    SectorSource source;
    FragmentList fragments;
    FragmentIndex index;
    ContentFile content;
    bool readFromSource = true;
    PageOrigin pages{source, content, fragments, readFromSource};
    AnalysisResults results;
    CombinationList combination;

    std::string image_;

    AssemblyState(const std::string& image, std::int64_t sectors) : image_(image) {
        source.select(SourceKind::ImageFile, image, sectors);
        source.setReadLimit(sectors);
    }
    AssemblyContext context() {
        return {fragments,
                index,
                pages,
                results,
                combination,
                reporter,
                16,
                OutputGuard{image_, false, {}},
                source.sourceSectors()};
    }
};

void createMdf() {
    const std::string image = "/tmp/mdfrecover-bench/create-2g.img";
    bench::ensureRandomFile(image, 2ull << 30, 7);
    const std::int64_t pagesPerFragment = 262;  // 1,000 fragments: about 2 GiB
    AssemblyState state(image, (2ll << 30) / 512);
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
    state.fragments.replace(records);
    state.results.combinationMarks.assign(1000, 1);
    state.results.expectedPageCount = static_cast<std::int32_t>(1000 * pagesPerFragment);
    state.combination.refresh(state.fragments, state.results.combinationMarks);
    state.combination.sortBy(kStartPageColumn);
    AssemblyContext ctx = state.context();
    const std::string out = "/tmp/mdfrecover-bench/created.mdf";
    // Alternated, so that both meet the same state of the page cache and of writeback.
    double create = 1e9, cp = 1e9;
    for (int round = 0; round < 3; ++round) {
        create = std::min(create, bench::bestSeconds(1, [&] { writeMdf(ctx, out); }));
        cp = std::min(
            cp, bench::bestShellSeconds(1, "cp " + out + " /tmp/mdfrecover-bench/copied.mdf"));
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
    AssemblyState state(image, source.sectors());
    std::vector<FragmentRecord> records;
    for (std::int32_t p = 0; p < n; ++p)
        records.push_back(composeFragment(p + 1, 1, 16 * std::int64_t{p}, p, " "));
    state.fragments.replace(records);
    state.index = buildFragmentIndex(state.fragments);
    state.results.expectedPageCount = n;
    state.results.pageMap.reset(n);
    for (std::int32_t p = 0; p < n; ++p) {
        PageMapEntry* e = state.results.pageMap.at(p);
        *e = {kOwner, 0, 1, 0};
    }
    state.results.combinationMarks.assign(static_cast<std::size_t>(n), 1);
    for (std::int32_t p = 1; p < n; p += 5)
        state.results.combinationMarks[static_cast<std::size_t>(p)] = 0;
    state.combination.refresh(state.fragments, state.results.combinationMarks);
    AssemblyContext ctx = state.context();
    double seconds = bench::bestSeconds(1, [&] { (void)mdf::searchMore(ctx); });
    const std::size_t combined = state.combination.rows.size();
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
