// A large disk simulated by a sparse image, at 4 GiB, 64 GiB and 1 TiB (or the sizes given in
// GiB): four checksum-protected databases (Scale0.mdf to Scale3.mdf, file ids 1 to 4, each with
// a layout of its own: 3 to 6 objects, sizes a few pages apart) cut into fragments of four pages,
// about 100,000 fragments per TiB, laid in shuffled order one per slot of the image, so that every
// size holds as many fragments per GiB; one fragment in ten ends in a page whose second 4 KiB
// lies in a cluster of its own far away (10,000 split pages per TiB).
// The rest is holes. For each size: `cat` of the image to /dev/null as the baseline, then
// `mdfrecover recover IMAGE --stride 8 --no-save-scan` (file id 1: Scale0) as a process, its time
// per GiB and peak memory, and its output compared page by page with Scale0 as made.
// Usage: bench_scale [GiB...]; the images are made in /tmp/mdfrecover-bench and removed after.
#include <fcntl.h>
#include <fmt/core.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <vector>

#include "bench_util.h"
#include "testworld/random.h"
#include "testworld/synthetic_database.h"

namespace {

using namespace mdf;

constexpr int kDatabases = 4;
constexpr int kFragmentPages = 4;
constexpr std::int64_t kFragmentsPerTiB = 100'000;
constexpr int kSplitEvery = 10;

void writeAt(int fd, std::int64_t byte, const void* data, std::size_t bytes) {
    if (::pwrite(fd, data, bytes, byte) != static_cast<ssize_t>(bytes)) std::abort();
}

struct Layout {
    std::int64_t fragments = 0;
    std::int64_t splitPages = 0;
    std::int32_t pagesPerDatabase = 0;  // Scale0's; database d has 8 d pages more
};

// Databases of one recipe but their seed are copies of one schema: nothing in their pages tells
// whose a fragment is. These differ in their objects and size, as unrelated databases do.
test::DatabaseRecipe recipe(int d, std::int32_t pages) {
    test::DatabaseRecipe r;
    r.pages = pages + 8 * d;
    r.usedPages = r.pages;
    r.objects = 3 + d;
    r.fileId = static_cast<std::uint16_t>(1 + d);
    r.seed = 100 + static_cast<std::uint64_t>(d);
    r.logicalName = fmt::format("Scale{}", d);
    r.physicalPath = fmt::format("D:\\data\\Scale{}.mdf", d);
    return r;
}

Layout build(const std::string& path, std::int64_t gib) {
    Layout layout;
    const std::int64_t wanted =
        std::max<std::int64_t>(kDatabases * 100, kFragmentsPerTiB * gib / 1024);
    layout.pagesPerDatabase = static_cast<std::int32_t>(wanted / kDatabases * kFragmentPages);
    std::vector<test::SyntheticDatabase> dbs;
    std::vector<std::pair<int, std::int32_t>> fragments;  // database, first page
    for (int d = 0; d < kDatabases; ++d) {
        dbs.emplace_back(recipe(d, layout.pagesPerDatabase));
        for (std::int32_t first = 0; first < dbs.back().pageCount(); first += kFragmentPages)
            fragments.push_back({d, first});
    }
    layout.fragments = static_cast<std::int64_t>(fragments.size());

    const std::int64_t bytes = gib << 30;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::ftruncate(fd, bytes) != 0) std::abort();
    // Slots of whole 4 KiB clusters; fragment k goes to slot order[k], a split page's tail to the
    // middle of the slot after it.
    const std::int64_t slot = bytes / layout.fragments / 4096 * 4096;
    std::vector<std::int64_t> order(static_cast<std::size_t>(layout.fragments));
    std::iota(order.begin(), order.end(), 0);
    test::Random rng(7);
    for (std::size_t i = order.size() - 1; i > 0; --i)
        std::swap(order[i],
                  order[static_cast<std::size_t>(rng.between(0, static_cast<std::int64_t>(i)))]);
    std::vector<std::uint8_t> run(std::size_t{8192} * kFragmentPages);
    for (std::int64_t k = 0; k < layout.fragments; ++k) {
        const auto [d, first] = fragments[static_cast<std::size_t>(k)];
        const auto& db = dbs[static_cast<std::size_t>(d)];
        for (int p = 0; p < kFragmentPages; ++p) {
            const test::Page page = db.page(first + p);
            std::memcpy(&run[std::size_t{8192} * static_cast<std::size_t>(p)], page.data(), 8192);
        }
        const std::int64_t at = order[static_cast<std::size_t>(k)] * slot;
        if (k % kSplitEvery != kSplitEvery - 1) {
            writeAt(fd, at, run.data(), run.size());
            continue;
        }
        ++layout.splitPages;
        writeAt(fd, at, run.data(), run.size() - 4096);
        const std::int64_t tail =
            (order[static_cast<std::size_t>(k)] + 1) % layout.fragments * slot +
            slot / 2 / 4096 * 4096;
        writeAt(fd, tail, run.data() + run.size() - 4096, 4096);
    }
    // Written out before the baseline reads it, so that neither meets writeback.
    if (::fsync(fd) != 0) std::abort();
    ::close(fd);
    return layout;
}

// Pages of the output that differ from Scale0 as made: allocated ones (a recovery that says
// "complete" has none) and free ones (their content may stay zero), the first few of each named.
struct Differences {
    std::int64_t allocated = 0, free = 0;
    std::string named;
};

Differences pagesDiffering(const std::string& out, std::int32_t pages) {
    Differences d;
    std::ifstream in(out, std::ios::binary);
    const test::SyntheticDatabase db(recipe(0, pages));
    std::vector<char> page(8192);
    for (std::int32_t id = 0; id < db.pageCount(); ++id) {
        const bool read = in && in.read(page.data(), 8192);
        const test::Page want = db.page(id);
        if (read && std::memcmp(page.data(), want.data(), 8192) == 0) continue;
        const bool allocated = db.isAllocated(id);
        (allocated ? d.allocated : d.free) += 1;
        if (d.allocated + d.free <= 8)
            d.named += fmt::format(" {}{}", id, allocated ? "" : "(free)");
    }
    return d;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::int64_t> sizes;
    for (int i = 1; i < argc; ++i)
        sizes.push_back(std::atoll(argv[i]));
    if (sizes.empty()) sizes = {4, 64, 1024};
    const std::string dir = "/tmp/mdfrecover-bench";
    std::filesystem::create_directories(dir);
    fmt::print(
        "| image | fragments | split pages | cat | recover | recover / cat | s per GiB | peak "
        "memory | exit | pages of Scale0 differing |\n|---|---|---|---|---|---|---|---|---|"
        "---|\n");
    bool allRight = true;
    for (std::int64_t gib : sizes) {
        const std::string image = fmt::format("{}/scale-{}g.img", dir, gib);
        const std::string out = fmt::format("{}/scale-{}g.mdf", dir, gib);
        const Layout layout = build(image, gib);
        bench::runProcess({"cat", image});  // the file's extents read once, as the scan finds them
        const bench::Run cat = bench::runProcess({"cat", image});
        std::filesystem::remove(out);
        const bench::Run rec = bench::runProcess(
            {MDFRECOVER, "recover", image, "--stride", "8", "--no-save-scan", "-o", out});
        const Differences differing = pagesDiffering(out, layout.pagesPerDatabase);
        allRight = allRight && rec.status <= 1 && (rec.status == 1 || differing.allocated == 0);
        fmt::print(
            "| {} GiB | {} | {} | {:.1f} s | {:.1f} s | {:.2f} | {:.3f} | {:.0f} MiB | {} | {} "
            "allocated, {} free:{} |\n",
            gib, layout.fragments, layout.splitPages, cat.seconds, rec.seconds,
            rec.seconds / cat.seconds, rec.seconds / static_cast<double>(gib),
            rec.maxRssKiB / 1024.0, rec.status, differing.allocated, differing.free,
            differing.named);
        std::fflush(stdout);
        if (!std::getenv("BENCH_SCALE_KEEP"))
            for (const std::string& f : {image, out, out + ".log", out + ".report.json"})
                std::filesystem::remove(f);
    }
    return allRight ? 0 : 1;
}
