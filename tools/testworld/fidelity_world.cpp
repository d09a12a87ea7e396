#include "testworld/fidelity_world.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "scan/page_protection.h"
#include "source/byte_order.h"
#include "testworld/page_builder.h"

namespace mdf::test {
namespace fs = std::filesystem;
namespace {

std::vector<std::uint8_t> junkBytes(Random& rng, std::size_t n) {
    std::vector<std::uint8_t> out(n);
    for (auto& b : out)
        b = rng.byte();
    return out;
}

template <typename T>
void shuffle(std::vector<T>& v, Random& rng) {
    for (std::size_t i = v.size(); i > 1; --i)
        std::swap(v[i - 1],
                  v[static_cast<std::size_t>(rng.between(0, static_cast<std::int64_t>(i) - 1))]);
}

std::set<std::int32_t> range(std::int32_t from, std::int32_t to) {
    std::set<std::int32_t> s;
    for (std::int32_t p = from; p < to; ++p)
        s.insert(p);
    return s;
}

bool isDataOrIndex(const Page& p) {
    return p[0] == 1 && (p[1] == 1 || p[1] == 2);
}

}  // namespace

PageFile pagesOf(const SyntheticDatabase& db) {
    PageFile f;
    for (std::int32_t p = 0; p < db.pageCount(); ++p)
        f.push_back(db.page(p));
    return f;
}

PageFile readPageFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    PageFile f;
    Page p{};
    while (in.read(reinterpret_cast<char*>(p.data()), 8192))
        f.push_back(p);
    return f;
}

std::set<std::int32_t> allocatedPages(const PageFile& file) {
    std::set<std::int32_t> out;
    if (file.size() < 2) return out;
    const Page& pfs = file[1];
    const std::size_t off = loadU16(&pfs[8190]);
    if (off < 96 || off + 4 > 8190) return out;
    const std::size_t length = loadU16(&pfs[off + 2]);
    for (std::size_t j = 0; j + 4 < length && off + 4 + j < 8190 && j < file.size(); ++j)
        if (pfs[off + 4 + j] & 0x40) out.insert(static_cast<std::int32_t>(j));
    return out;
}

void protectAgain(Page& page) {
    switch (page[5] & 0x0F) {
        case 2:
            storeU32(&page[60], testWorldChecksum(page));
            break;
        case 1: {
            const std::uint32_t s = (page[60] & 3) == 2 ? 2 : 1;
            std::uint32_t bits = s;
            for (int k = 1; k <= 15; ++k) {
                std::uint8_t& last = page[static_cast<std::size_t>(512 * k + 511)];
                bits |= static_cast<std::uint32_t>(last & 3) << (2 * k);
                last = static_cast<std::uint8_t>((last & 0xFC) | s);
            }
            storeU32(&page[60], bits);
            break;
        }
        default:
            break;
    }
}

Page olderVersion(const Page& page, std::uint64_t salt) {
    Page p = page;
    const std::uint32_t file = loadU32(&p[40]);
    const std::uint32_t block = loadU32(&p[44]);
    if (file <= 1 && block == 0) return p;  // nothing older to give it
    restoreTornBits(p);
    Random rng({salt, 0x01DEu});
    for (std::size_t i = 104; i < 112; ++i)
        p[i] = static_cast<std::uint8_t>(p[i] ^ (rng.byte() | 1));
    if (file > 1)
        storeU32(&p[40], file - 1);
    else
        storeU32(&p[44], block - 1);
    protectAgain(p);
    return p;
}

Page overwrittenBody(const Page& page, std::uint64_t salt) {
    Page p = page;
    Random rng({salt, 0xB0D7u});
    for (std::size_t i = 96; i < p.size(); ++i)
        p[i] = rng.byte();
    return p;
}

LayoutImage::LayoutImage(std::string path, std::int64_t sectors, std::uint64_t seed)
    : image_(std::move(path), sectors), rng_({seed, 0x1A70u}) {}

void LayoutImage::junk(std::int64_t sectors) {
    image_.put(cursor_, junkBytes(rng_, static_cast<std::size_t>(sectors) * 512));
    cursor_ += sectors;
}

std::int64_t LayoutImage::place(std::int32_t firstPage, const std::vector<Page>& pages) {
    junk(rng_.between(1, 40));
    // The scan joins a run to the one before when the distance fits the page numbering.
    if (lastFirstSector_ >= 0 &&
        cursor_ - lastFirstSector_ == (std::int64_t{firstPage} - lastFirstPage_) * 16)
        junk(1);
    const std::int64_t first = cursor_;
    for (const Page& p : pages) {
        image_.put(cursor_, p);
        cursor_ += 16;
    }
    lastFirstSector_ = first;
    lastFirstPage_ = firstPage;
    if (cursor_ > image_.sectors()) throw std::runtime_error("layout image too small");
    return first;
}

std::vector<std::pair<std::int32_t, std::vector<Page>>> cutIntoRuns(const PageFile& file,
                                                                    std::int32_t from,
                                                                    std::int32_t to, Random& rng,
                                                                    int minPages, int maxPages) {
    std::vector<std::pair<std::int32_t, std::vector<Page>>> runs;
    for (std::int32_t p = from; p < to;) {
        const std::int32_t n = static_cast<std::int32_t>(
            std::min<std::int64_t>(rng.between(minPages, maxPages), to - p));
        runs.push_back({p, std::vector<Page>(file.begin() + p, file.begin() + p + n)});
        p += n;
    }
    return runs;
}

namespace {

std::int64_t sectorsFor(const PageFile& file, int copies) {
    return static_cast<std::int64_t>(file.size()) * 16 * copies + 200000;
}

}  // namespace

Layout loneHeaderLayout(const PageFile& file, const std::string& path, std::uint64_t seed) {
    Random rng({seed, 0x10E1u});
    LayoutImage image(path, sectorsFor(file, 1), seed);
    auto runs = cutIntoRuns(file, 1, static_cast<std::int32_t>(file.size()), rng, 3, 40);
    runs.push_back({0, {file[0]}});
    shuffle(runs, rng);
    for (const auto& [first, pages] : runs)
        image.place(first, pages);
    image.junk(8);
    return {path, range(0, static_cast<std::int32_t>(file.size()))};
}

Layout olderCopyLayout(const PageFile& file, const std::string& path, std::uint64_t seed) {
    Random rng({seed, 0x01D1u});
    PageFile old = file;
    int eligible = 0;
    for (std::size_t p = 2; p < old.size(); ++p)
        if (isDataOrIndex(old[p]) && ++eligible % 5 == 2) old[p] = olderVersion(old[p], seed + p);
    LayoutImage image(path, sectorsFor(file, 2), seed);
    const auto n = static_cast<std::int32_t>(file.size());
    auto runs = cutIntoRuns(file, 0, n, rng, 3, 40);
    auto oldRuns = cutIntoRuns(old, 2, n, rng, 3, 40);
    runs.insert(runs.end(), oldRuns.begin(), oldRuns.end());
    shuffle(runs, rng);
    for (const auto& [first, pages] : runs)
        image.place(first, pages);
    image.junk(8);
    return {path, range(0, n)};
}

Layout damagedCopyLayout(const PageFile& file, const std::string& path, std::uint64_t seed) {
    Random rng({seed, 0xDA3Au});
    LayoutImage image(path, sectorsFor(file, 2), seed);
    const auto n = static_cast<std::int32_t>(file.size());
    auto runs = cutIntoRuns(file, 0, n, rng, 3, 40);
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const auto& [first, pages] = runs[i];
        if (i % 2 == 1) {
            std::vector<Page> damaged;
            for (std::size_t k = 0; k < pages.size(); ++k)
                damaged.push_back(overwrittenBody(pages[k], seed * 1000 + i * 50 + k));
            image.place(first, damaged);
        }
        image.place(first, pages);
    }
    image.junk(8);
    return {path, range(0, n)};
}

Layout twoDatabasesLayout(const PageFile& first, const PageFile& second, std::int32_t headPages,
                          const std::string& path, std::uint64_t seed,
                          std::set<std::int32_t>* secondOnImage) {
    Random rng({seed, 0x7D0Bu});
    LayoutImage image(path, sectorsFor(first, 1) + sectorsFor(second, 1), seed);
    auto runsOf = [&](const PageFile& f) {
        auto runs = cutIntoRuns(f, headPages, static_cast<std::int32_t>(f.size()), rng, 3, 40);
        runs.push_back({0, std::vector<Page>(f.begin(), f.begin() + headPages)});
        return runs;
    };
    auto runs = runsOf(first);
    auto more = runsOf(second);
    runs.insert(runs.end(), more.begin(), more.end());
    shuffle(runs, rng);
    for (const auto& [firstPage, pages] : runs)
        image.place(firstPage, pages);
    image.junk(8);
    if (secondOnImage) *secondOnImage = range(0, static_cast<std::int32_t>(second.size()));
    return {path, range(0, static_cast<std::int32_t>(first.size()))};
}

Layout lostStartLayout(const PageFile& file, std::int32_t lost, const std::string& path,
                       std::uint64_t seed) {
    Random rng({seed, 0x1057u});
    LayoutImage image(path, sectorsFor(file, 1), seed);
    const auto n = static_cast<std::int32_t>(file.size());
    auto runs = cutIntoRuns(file, lost, n, rng, 3, 40);
    shuffle(runs, rng);
    image.junk(std::int64_t{lost} * 16);  // where the first pages lay, overwritten
    for (const auto& [first, pages] : runs)
        image.place(first, pages);
    image.junk(8);
    return {path, range(lost, n)};
}

Layout splitPageLayout(const PageFile& file, int clusterSectors, const std::string& path,
                       std::uint64_t seed, std::set<std::int32_t>* splitPages) {
    Random rng({seed, 0x5B17u});
    const std::int64_t cs = clusterSectors;
    SectorImage image(path, static_cast<std::int64_t>(file.size()) * 32 + 100000);
    std::int64_t cursor = 64 * cs;
    auto junk = [&](std::int64_t sectors) {
        image.put(cursor, junkBytes(rng, static_cast<std::size_t>(sectors) * 512));
        cursor += sectors;
    };
    const auto n = static_cast<std::int32_t>(file.size());
    auto runs = cutIntoRuns(file, 0, n, rng, 3, 40);
    shuffle(runs, rng);
    std::vector<std::vector<std::uint8_t>> tails;
    std::int64_t lastFirst = -1;
    std::int32_t lastPage = 0;
    for (const auto& [first, pages] : runs) {
        junk(cs * rng.between(1, 4));
        if (lastFirst >= 0 && cursor - lastFirst == (std::int64_t{first} - lastPage) * 16) junk(cs);
        lastFirst = cursor;
        lastPage = first;
        for (std::size_t k = 0; k + 1 < pages.size(); ++k) {
            image.put(cursor, pages[k]);
            cursor += 16;
        }
        const Page& end = pages.back();
        const bool empty =
            std::all_of(end.begin(), end.end(), [](std::uint8_t b) { return b == 0; });
        if (empty || rng.chance(25)) {
            image.put(cursor, end);
            cursor += 16;
            continue;
        }
        // Its first `head` sectors stay; the rest goes elsewhere.
        const std::int64_t head = cs * rng.between(1, 16 / cs - 1);
        image.put(cursor,
                  std::span<const std::uint8_t>(end.data(), static_cast<std::size_t>(head) * 512));
        cursor += head;
        junk(16 - head);
        tails.emplace_back(end.begin() + head * 512, end.end());
        if (splitPages) splitPages->insert(first + static_cast<std::int32_t>(pages.size()) - 1);
    }
    junk(cs * 8);
    for (const auto& tail : tails) {
        junk(cs * rng.between(1, 3));
        image.put(cursor, tail);
        cursor += static_cast<std::int64_t>(tail.size() / 512);
    }
    junk(cs * 8);
    if (cursor > image.sectors()) throw std::runtime_error("layout image too small");
    return {path, range(0, n)};
}

ImageManifest buildFat32LoneHeaderImage(const SyntheticDatabase& db, const std::string& imagePath,
                                        std::uint64_t seed) {
    FileSystemImageOptions options;
    options.clusterSectors = 16;
    options.seed = seed;
    ImageManifest m = buildFat32Image(db, imagePath, options);
    auto head = std::find_if(m.fragments.begin(), m.fragments.end(),
                             [](const ManifestFragment& f) { return f.firstPage == 0; });
    if (head == m.fragments.end()) throw std::runtime_error("no page 0 in the manifest");
    const std::int64_t from = head->firstSector;

    const std::int64_t sectors = static_cast<std::int64_t>(fs::file_size(imagePath) / 512);
    std::fstream image(imagePath, std::ios::in | std::ios::out | std::ios::binary);
    auto read = [&](std::int64_t sector, std::size_t bytes) {
        std::vector<std::uint8_t> b(bytes);
        image.seekg(sector * 512);
        image.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(bytes));
        return b;
    };
    auto write = [&](std::int64_t sector, const std::vector<std::uint8_t>& b) {
        image.seekp(sector * 512);
        image.write(reinterpret_cast<const char*>(b.data()),
                    static_cast<std::streamsize>(b.size()));
    };
    // A free cluster far behind everything written: the volume's tail is never used here.
    std::int64_t to = from + (sectors - 4096 - from) / 16 * 16;
    while (to > from + 4096) {
        auto b = read(to, 8192);
        if (std::all_of(b.begin(), b.end(), [](std::uint8_t x) { return x == 0; })) break;
        to -= 16;
    }
    write(to, read(from, 8192));
    Random rng({seed, 0x0FA7u});
    write(from, junkBytes(rng, 8192));
    image.close();

    const std::int32_t rest = head->pages - 1;
    *head = {to, 1, 0, "true"};
    if (rest > 0) m.fragments.push_back({from + 16, rest, 1, "true"});
    for (Extent& e : m.extents)
        if (e.fileOffset == 0) {
            Extent moved{0, to, 16};
            e.fileOffset += 8192;
            e.sector += 16;
            e.sectors -= 16;
            m.extents.push_back(moved);
            break;
        }
    return m;
}

}  // namespace mdf::test
