// The split-page search on a 64 GiB sparse image: 1,000 pages whose later halves lie in
// clusters of their own, among N unclaimed non-zero clusters of 512 bytes (N = 100,000 and
// 1,000,000 by default). The search reads the whole image once; the baseline is that read
// alone, so what the clusters cost shows in the difference.
// Then 1,000 pages in 2 to 16 pieces each, a live file's clusters between the pieces, found by
// following the free clusters in allocation order: no pass over the image, so its cost is set
// against the same plain read of the image.
// The same with the sums kept in a file by a scan stopped half way, and reopened by the run that
// goes on with it.
// --uncached meets a disk as a recovery does: every byte of a smaller image written (8 GiB, or
// --gib N), read with direct I/O, its pages dropped from the page cache before every read.
// Usage: bench_split_pages [--uncached] [--gib N] [N...]
#include "analysis/split_page_search.h"

#include <fcntl.h>
#include <fmt/core.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "analysis/allocation_order_pieces.h"
#include "bench_util.h"
#include "scan/scan_window.h"
#include "scan/sector_sums.h"
#include "source/sector_source.h"
#include "testworld/random.h"
#include "testworld/synthetic_database.h"

namespace {

std::int64_t kImageSectors = std::int64_t{64} << 21;  // 64 GiB unless asked otherwise
constexpr int kSplitPages = 1000;

void writeAt(int fd, std::int64_t sector, const void* data, std::size_t bytes) {
    if (::pwrite(fd, data, bytes, sector * 512) != static_cast<ssize_t>(bytes)) std::abort();
}

// Junk clusters in blocks of 1,000 spread over the image; the split pages' heads near the start,
// their tails among the junk.
std::vector<mdf::BrokenPage> build(const std::string& path, std::int64_t clusters, bool dense) {
    using namespace mdf;
    test::DatabaseRecipe recipe;
    recipe.pages = 4000;
    test::SyntheticDatabase db(recipe);
    const bool exists = std::filesystem::exists(path + ".done");
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0644);
    if (fd < 0 || ::ftruncate(fd, kImageSectors * 512) != 0) std::abort();
    if (dense && !exists) {
        // Zeros written, not holes: a read of them goes to the disk.
        const std::vector<std::uint8_t> zeros(std::size_t{8} << 20);
        for (std::int64_t at = 0; at < kImageSectors * 512;
             at += static_cast<std::int64_t>(zeros.size()))
            if (::pwrite(fd, zeros.data(), zeros.size(), at) != static_cast<ssize_t>(zeros.size()))
                std::abort();
    }
    test::Random rng(5);
    const std::int64_t blocks = clusters / 1000;
    const std::int64_t spacing = (kImageSectors - 1'000'000) / blocks;
    std::vector<std::uint8_t> junk(1000 * 512);
    std::vector<BrokenPage> pages;
    for (std::int64_t b = 0; b < blocks; ++b) {
        const std::int64_t at = 1'000'000 + b * spacing;
        if (!exists) {
            for (auto& x : junk)
                x = rng.byte();
            writeAt(fd, at, junk.data(), junk.size());
        }
        (void)at;
    }
    for (int i = 0; i < kSplitPages; ++i) {
        const std::int32_t id = 100 + i;
        test::Page p = db.page(id);
        const std::int64_t head = 100 + std::int64_t{i} * 32;
        const int split = 1 + i % 15;
        // Each tail its own place: block i mod blocks, 16 sectors further per round.
        const std::int64_t block = i % blocks;
        const std::int64_t tail = 1'000'000 + block * spacing + 16 * (i / blocks);
        if (!exists) {
            writeAt(fd, head, p.data(), 512 * static_cast<std::size_t>(split));
            writeAt(fd, tail, p.data() + 512 * split, 512 * static_cast<std::size_t>(16 - split));
        }
        BrokenPage broken;
        broken.pageId = id;
        broken.firstSector = head;
        std::copy(p.begin(), p.begin() + 512 * split, broken.asRead.begin());
        pages.push_back(broken);
    }
    ::close(fd);
    if (!exists) std::ofstream(path + ".done") << "built\n";
    return pages;
}

// Pages in many pieces, each piece followed by one to three sectors in use: the heads and the
// clusters in use between the pieces, as the search is handed them.
std::vector<mdf::BrokenPage> buildPieces(const std::string& path,
                                         mdf::SplitSearchSettings& settings) {
    using namespace mdf;
    test::DatabaseRecipe recipe;
    recipe.pages = 4000;
    test::SyntheticDatabase db(recipe);
    int fd = ::open(path.c_str(), O_RDWR);
    if (fd < 0) std::abort();
    std::vector<BrokenPage> pages;
    test::Random rng(7);
    for (int i = 0; i < kSplitPages; ++i) {
        const std::int32_t id = 2000 + i;
        const test::Page p = db.page(id);
        const int pieces = 2 + i % 15;
        std::int64_t at = 40'000 + std::int64_t{i} * 64;
        BrokenPage broken;
        broken.pageId = id;
        broken.firstSector = at;
        for (int k = 0, sector = 0; k < pieces; ++k) {
            const int length = k + 1 < pieces ? 16 / pieces : 16 - sector;
            writeAt(fd, at, p.data() + 512 * sector, 512 * static_cast<std::size_t>(length));
            if (k == 0) {
                broken.knownSectors = length;
                std::copy(p.begin(), p.begin() + 512 * length, broken.asRead.begin());
            }
            at += length;
            sector += length;
            const std::int64_t inUse = rng.between(1, 3);
            settings.claimed.push_back({at, at + inUse});
            at += inUse;
        }
        pages.push_back(broken);
    }
    ::close(fd);
    return pages;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace mdf;
    std::vector<std::int64_t> counts;
    bool uncached = false;
    std::int64_t gib = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--uncached")
            uncached = true;
        else if (a == "--gib" && i + 1 < argc)
            gib = std::atoll(argv[++i]);
        else
            counts.push_back(std::atoll(argv[i]));
    }
    if (counts.empty()) counts = {100'000, 1'000'000};
    if (gib <= 0) gib = uncached ? 8 : 64;
    kImageSectors = gib << 21;
    std::filesystem::create_directories("/tmp/mdfrecover-bench");
    for (std::int64_t clusters : counts) {
        const std::string path = fmt::format("/tmp/mdfrecover-bench/split-{}g{}-{}.img", gib,
                                             uncached ? "-dense" : "", clusters);
        std::vector<BrokenPage> pages = build(path, clusters, uncached);
        // Uncached, every timed read begins with the image's pages dropped from the cache.
        const auto drop = [&] {
            if (uncached) mdf::bench::dropFromPageCache(path);
        };
        SectorSource source(uncached ? FileOpener(openDirect) : FileOpener(openReadOnly));
        source.select(SourceKind::ImageFile, path, kImageSectors);
        source.setReadLimit(kImageSectors);
        SplitSearchSettings settings;
        settings.clusterSectors = 1;
        settings.endSector = kImageSectors;
        for (const BrokenPage& p : pages)
            settings.claimed.push_back({p.firstSector, p.firstSector + 16});
        std::vector<std::uint8_t> buffer(8192 * 512);
        const double readOnly = bench::bestSeconds(2, [&] {
            drop();
            for (std::int64_t at = 0; at < kImageSectors; at += 8192)
                source.readSectors(8192, buffer.data(), at);
        });
        SplitSearchResult result;
        const double search = bench::bestSeconds(1, [&] {
            drop();
            result = searchSplitPages(source, pages, settings);
        });
        fmt::print(
            "{:>9} unclaimed clusters: search {:6.1f} s (reading the {} GiB alone {:6.1f} s), "
            "{} of {} pages restored, {} candidate clusters\n",
            clusters, search, gib, readOnly, result.restored.size(), pages.size(),
            result.candidateClusters);
        // As a scan does it: the sums gathered from the windows it reads (through the scan's own
        // window, which reads the next one ahead), then the search on them.
        auto gather = [&](SectorSums& into, std::int64_t from, std::int64_t to) {
            ScanWindow window(source, &into);
            window.prime(from, to);
            for (std::int64_t at = from + kWindowSectors; at < to; at += kWindowSectors)
                window.readHeaderAt(at, kWindowSectors, true);
        };
        SectorSums sums("/tmp/mdfrecover-bench/split.sums");
        if (!sums.ok()) std::abort();
        const double gathering = bench::bestSeconds(1, [&] {
            drop();
            gather(sums, 0, kImageSectors);
        });
        settings.sums = &sums;
        SplitSearchResult summed;
        const double searchOnSums =
            bench::bestSeconds(1, [&] { summed = searchSplitPages(source, pages, settings); });
        settings.sums = nullptr;
        fmt::print(
            "{:>9} unclaimed clusters, sums gathered while reading: read and gather {:6.1f} s = "
            "{:.2f} x the plain read; search on the sums {:6.2f} s; together {:.2f} x the plain "
            "read; {} of {} pages restored, {} stretches read again\n",
            clusters, gathering, gathering / readOnly, searchOnSums,
            (gathering + searchOnSums) / readOnly, summed.restored.size(), pages.size(),
            summed.readChunks);

        // As a kept scan stopped half way and gone on with by another process: the first half's
        // sums kept in a file, reopened with the ranges its resume file records, the second half
        // added, then the search.
        const std::string keptPath = "/tmp/mdfrecover-bench/split-kept.sums";
        const std::int64_t half = kImageSectors / 2 / kWindowSectors * kWindowSectors;
        SectorSums::Kept record;
        const double firstHalf = bench::bestSeconds(1, [&] {
            drop();
            SectorSums kept(keptPath, 0, "bench");
            if (!kept.ok()) std::abort();
            gather(kept, 0, half);
            if (!kept.sync()) std::abort();
            record = {keptPath, kept.fileId(), kept.coverage()};
        });
        std::unique_ptr<SectorSums> resumed = SectorSums::reopen(record, "bench");
        if (!resumed) std::abort();
        const double secondHalf =
            bench::bestSeconds(1, [&] { gather(*resumed, half, kImageSectors); });
        settings.sums = resumed.get();
        SplitSearchResult afterResume;
        const double searchAfterResume =
            bench::bestSeconds(1, [&] { afterResume = searchSplitPages(source, pages, settings); });
        settings.sums = nullptr;
        resumed.reset();
        std::filesystem::remove(keptPath);
        fmt::print(
            "{:>9} unclaimed clusters, stopped half way and resumed over the kept sums: read and "
            "gather {:6.1f} s, search {:6.2f} s; together {:.2f} x the plain read; {} of {} "
            "pages restored, {} stretches read again\n",
            clusters, firstHalf + secondHalf, searchAfterResume,
            (firstHalf + secondHalf + searchAfterResume) / readOnly, afterResume.restored.size(),
            pages.size(), afterResume.readChunks);
        if (clusters != counts.front()) continue;
        SplitSearchSettings order;
        order.clusterSectors = 1;
        order.endSector = kImageSectors;
        const std::vector<BrokenPage> pieced = buildPieces(path, order);
        std::size_t restored = 0;
        const double walk = bench::bestSeconds(
            3, [&] { restored = pieceInAllocationOrder(source, pieced, order).size(); });
        fmt::print(
            "{:>9} pages in 2..16 pieces, followed in allocation order: {:8.4f} s = {:.5f} of "
            "the plain read, {} of {} restored\n",
            pieced.size(), walk, walk / readOnly, restored, pieced.size());
    }
}
