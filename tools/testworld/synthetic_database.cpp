#include "testworld/synthetic_database.h"

#include <algorithm>
#include <fstream>
#include <set>
#include <stdexcept>

#include "assembly/sha256.h"
#include "source/byte_order.h"

namespace mdf::test {
namespace {

constexpr std::uint8_t kNoObject = 0xFF;
constexpr int kMaxSinglePages = 8;
constexpr std::uint16_t kIamHeaderLength = 94;
constexpr std::uint16_t kIamBitmapLength =
    7992;  // 4 + 7988 bytes: one bit per extent of an interval

bool isAllocationPage(PageRole r) {
    return r == PageRole::FileHeader || r == PageRole::Pfs || r == PageRole::Gam ||
           r == PageRole::Sgam || r == PageRole::Diff || r == PageRole::Ml || r == PageRole::Boot;
}

}  // namespace

std::string protectionName(Protection p) {
    switch (p) {
        case Protection::Checksum:
            return "checksum";
        case Protection::TornBits:
            return "torn";
        case Protection::None:
            return "none";
    }
    return "none";
}

std::optional<Protection> parseProtection(const std::string& name) {
    if (name == "checksum") return Protection::Checksum;
    if (name == "torn") return Protection::TornBits;
    if (name == "none") return Protection::None;
    return std::nullopt;
}

SyntheticDatabase::SyntheticDatabase(DatabaseRecipe recipe) : recipe_(std::move(recipe)) {
    if (recipe_.pages < 48)
        throw std::invalid_argument("a synthetic database has at least 48 pages");
    recipe_.objects = std::clamp(recipe_.objects, 2, 8);
    used_ =
        recipe_.usedPages > 0 ? std::min(recipe_.usedPages, recipe_.pages) : recipe_.pages / 4 * 3;
    used_ = std::max(used_, 41);
    planLayout();
}

void SyntheticDatabase::assign(std::int32_t pageId, PageRole role, int object) {
    roles_[static_cast<std::size_t>(pageId)] = role;
    objectOf_[static_cast<std::size_t>(pageId)] =
        object < 0 ? kNoObject : static_cast<std::uint8_t>(object);
    if (object >= 0) objects_[static_cast<std::size_t>(object)].pages.push_back(pageId);
}

void SyntheticDatabase::planLayout() {
    Random rng({recipe_.seed, 0x1a70u});
    const int k = recipe_.objects;
    std::set<std::int32_t> ids;
    objects_.resize(static_cast<std::size_t>(k));
    for (int j = 0; j < k; ++j) {
        std::int32_t id;
        do
            id = static_cast<std::int32_t>(rng.between(100000, 2'000'000'000));
        while (!ids.insert(id).second);
        objects_[static_cast<std::size_t>(j)].id = id;
        objects_[static_cast<std::size_t>(j)].pageType = (j > 0 && j % 2 == 0) ? 2 : 1;
    }
    droppedObjectId_ = static_cast<std::int32_t>(rng.between(100000, 2'000'000'000));

    roles_.assign(static_cast<std::size_t>(recipe_.pages), PageRole::Unused);
    objectOf_.assign(static_cast<std::size_t>(recipe_.pages), kNoObject);
    std::vector<bool> taken(static_cast<std::size_t>(recipe_.pages), false);
    auto placeAnywhere = [&](std::int32_t p, PageRole role, int object) {
        if (p >= recipe_.pages || taken[static_cast<std::size_t>(p)]) return;
        taken[static_cast<std::size_t>(p)] = true;
        assign(p, role, object);
    };
    auto place = [&](std::int32_t p, PageRole role, int object) {
        if (p < used_) placeAnywhere(p, role, object);
    };

    // The allocation pages of the whole file, as SQL Server writes them wherever the file's size
    // reaches (its unused part too), and the IAM pages of every GAM interval the used part
    // reaches.
    placeAnywhere(0, PageRole::FileHeader, -1);
    placeAnywhere(1, PageRole::Pfs, -1);
    for (std::int32_t p = kPfsInterval; p < recipe_.pages; p += kPfsInterval)
        placeAnywhere(p, PageRole::Pfs, -1);
    for (std::int32_t base = 0; base < recipe_.pages; base += kGamInterval) {
        placeAnywhere(base == 0 ? 2 : base, PageRole::Gam, -1);
        placeAnywhere(base + (base == 0 ? 3 : 1), PageRole::Sgam, -1);
        placeAnywhere(base + 6, PageRole::Diff, -1);
        placeAnywhere(base + 7, PageRole::Ml, -1);
        if (base >= used_) continue;
        for (int j = 0; j < k; ++j) {
            std::int32_t iam = base == 0 ? (j == 0 ? 8 : 9 + j) : base + 8 + j;
            if (iam >= used_) continue;
            place(iam, PageRole::Iam, j);
            objects_[static_cast<std::size_t>(j)].iamPages.push_back(iam);
        }
    }
    place(9, PageRole::Boot, -1);

    // Mixed extents at the start: the first object keeps the file's own name on page 32.
    auto single = [&](std::int32_t p, PageRole role, int object) {
        auto& o = objects_[static_cast<std::size_t>(object)];
        if (static_cast<int>(o.singlePages.size()) >= kMaxSinglePages) return false;
        o.singlePages.push_back(p);
        place(p, role, object);
        return true;
    };
    single(4, PageRole::Data, 0);
    single(5, PageRole::Data, 0);
    single(32, PageRole::FileName, 0);
    int next = 1;
    for (std::int32_t p = 10; p < 40 && p < used_; ++p) {
        if (taken[static_cast<std::size_t>(p)]) continue;
        for (int tries = 0; tries < k - 1; ++tries) {
            int object = next;
            next = next % (k - 1) + 1;
            PageRole role = objects_[static_cast<std::size_t>(object)].pageType == 2
                                ? PageRole::Index
                                : PageRole::Data;
            if (single(p, role, object)) break;
        }
    }

    // Uniform extents from page 40 on, in runs of a few extents per object. An extent that holds
    // an allocation or IAM page keeps only that page; its other pages are old, deallocated ones.
    int runObject = 1;
    int runLeft = 0;
    for (std::int32_t e = 40; e < used_; e += 8) {
        bool special = e + 8 > used_;
        for (std::int32_t p = e; p < e + 8 && p < used_; ++p)
            special = special || taken[static_cast<std::size_t>(p)];
        if (special) continue;
        if (runLeft == 0) {
            runObject = static_cast<int>(rng.between(1, k - 1));
            runLeft = static_cast<int>(rng.between(1, 6));
        }
        --runLeft;
        PageRole role = objects_[static_cast<std::size_t>(runObject)].pageType == 2
                            ? PageRole::Index
                            : PageRole::Data;
        for (std::int32_t p = e; p < e + 8; ++p)
            place(p, role, runObject);
    }
    for (std::int32_t p = 0; p < used_; ++p)
        if (!taken[static_cast<std::size_t>(p)]) place(p, PageRole::Ghost, -1);
    for (Object& o : objects_)
        std::sort(o.pages.begin(), o.pages.end());
}

bool SyntheticDatabase::isAllocated(std::int32_t pageId) const {
    PageRole r = role(pageId);
    return r != PageRole::Unused && r != PageRole::Ghost;
}

std::int32_t SyntheticDatabase::owner(std::int32_t pageId) const {
    PageRole r = role(pageId);
    if (isAllocationPage(r)) return 99;
    if (r == PageRole::Ghost) return droppedObjectId_;
    std::uint8_t o = objectOf_[static_cast<std::size_t>(pageId)];
    return o == kNoObject ? 0 : objects_[o].id;
}

std::vector<std::int32_t> SyntheticDatabase::objectIds() const {
    std::vector<std::int32_t> ids;
    for (const Object& o : objects_)
        ids.push_back(o.id);
    return ids;
}

std::uint8_t SyntheticDatabase::pfsByte(std::int32_t pageId) const {
    if (pageId >= recipe_.pages) return 0;
    PageRole r = role(pageId);
    if (!isAllocated(pageId)) return 0;
    if (isAllocationPage(r)) return 0x44;
    if (r == PageRole::Iam) return 0x70;
    std::uint8_t fullness = static_cast<std::uint8_t>(
        1 + Random({recipe_.seed, 0xF011u, static_cast<std::uint64_t>(pageId)}).next() % 4);
    const Object& o = objects_[objectOf_[static_cast<std::size_t>(pageId)]];
    bool mixed =
        std::find(o.singlePages.begin(), o.singlePages.end(), pageId) != o.singlePages.end();
    return static_cast<std::uint8_t>((mixed ? 0x60 : 0x40) | fullness);
}

// Records laid out as SQL Server lays them out, so that a page's structure holds as a real one's
// does: on a data page rows of fixed and variable-length columns (status, the fixed part's end,
// the column count, the null bitmap, the variable columns' end offsets), on an index page index
// rows of the page's minimum record length.
void SyntheticDatabase::fillRecords(PageBuilder& b, Random& rng, int fullness) const {
    const std::size_t target = 8096 * static_cast<std::size_t>(fullness) / 5;
    const bool index = b.bytes()[1] == 2;
    const auto indexLength = static_cast<std::uint16_t>(rng.between(12, 60));
    if (index) b.set16(14, indexLength);
    std::size_t used = 0;
    while (used < target) {
        std::vector<std::uint8_t> record;
        if (index) {
            record.resize(indexLength);
            for (auto& byte : record)
                byte = rng.byte();
            record[0] = 0x06;  // an index row, no null bitmap, no variable columns
        } else {
            const auto fixedEnd = static_cast<std::uint16_t>(rng.between(8, 120));
            const auto variable = static_cast<std::uint16_t>(rng.between(0, 3));
            std::vector<std::uint16_t> ends;
            std::uint16_t end = static_cast<std::uint16_t>(fixedEnd + 2 + 1 + 2 + 2 * variable);
            for (std::uint16_t v = 0; v < variable; ++v)
                ends.push_back(end = static_cast<std::uint16_t>(end + rng.between(1, 80)));
            record.resize(end);
            for (auto& byte : record)
                byte = rng.byte();
            record[0] = variable > 0 ? 0x30 : 0x10;
            record[1] = 0x00;
            storeU16(&record[2], fixedEnd);
            storeU16(&record[fixedEnd], static_cast<std::uint16_t>(3 + variable));  // columns
            record[fixedEnd + 2u] = 0;                                              // none null
            if (variable > 0) {
                storeU16(&record[fixedEnd + 3u], variable);
                for (std::uint16_t v = 0; v < variable; ++v)
                    storeU16(&record[fixedEnd + 5u + 2u * v], ends[v]);
            } else {
                record.resize(fixedEnd + 3u);
            }
        }
        try {
            b.addRecord(record);
        } catch (const std::length_error&) {
            break;
        }
        used += record.size() + 2;
    }
}

void SyntheticDatabase::protect(PageBuilder& b, std::int32_t pageId) const {
    Random rng({recipe_.seed, 0x15Au, static_cast<std::uint64_t>(pageId)});
    b.setLogSequence(static_cast<std::uint32_t>(30 + pageId % 7),
                     static_cast<std::uint32_t>(pageId) * 16 + 200,
                     static_cast<std::uint16_t>(pageId % 50 + 1));
    switch (recipe_.protection) {
        case Protection::Checksum:
            b.protectWithChecksum();
            break;
        case Protection::TornBits:
            b.protectWithTornBits(static_cast<std::uint8_t>(1 + rng.next() % 2));
            break;
        case Protection::None:
            b.set8(5, static_cast<std::uint8_t>(b.bytes()[5] & 0xF0));
            break;
    }
}

PageBuilder SyntheticDatabase::pfsPage(std::int32_t pageId) const {
    PageBuilder b = PageBuilder::pfsPage(pageId, recipe_.fileId);
    const std::int32_t first = pageId == 1 ? 0 : pageId;
    for (std::int32_t j = 0; j < kPfsInterval && first + j < recipe_.pages; ++j)
        b.set8(PageBuilder::kPfsBytesOffset + static_cast<std::size_t>(j), pfsByte(first + j));
    return b;
}

PageBuilder SyntheticDatabase::iamPage(std::int32_t pageId, int object) const {
    const Object& o = objects_[static_cast<std::size_t>(object)];
    const std::int32_t interval = pageId / kGamInterval;
    const std::int32_t start = interval * kGamInterval;
    PageBuilder b = PageBuilder::iamPage(pageId, o.id, recipe_.fileId);

    std::vector<std::uint8_t> header(kIamHeaderLength, 0);
    storeU16(&header[2], kIamHeaderLength);
    header[8] = static_cast<std::uint8_t>(interval + 1);  // sequence number within the chain
    storeU32(&header[40], static_cast<std::uint32_t>(start));
    storeU16(&header[44], recipe_.fileId);
    if (interval == 0) {
        for (std::size_t s = 0; s < o.singlePages.size(); ++s) {
            storeU32(&header[46 + 6 * s], static_cast<std::uint32_t>(o.singlePages[s]));
            storeU16(&header[50 + 6 * s], recipe_.fileId);
        }
    }
    b.addRecord(header);

    std::vector<std::uint8_t> bitmap(kIamBitmapLength, 0);
    storeU16(&bitmap[2], kIamBitmapLength);
    for (std::int32_t p : o.pages) {
        if (p < start || p >= start + kGamInterval) continue;
        if (std::find(o.singlePages.begin(), o.singlePages.end(), p) != o.singlePages.end())
            continue;
        if (role(p) == PageRole::Iam) continue;
        const std::int32_t extent = (p - start) / 8;
        bitmap[4 + static_cast<std::size_t>(extent / 8)] |=
            static_cast<std::uint8_t>(1u << (extent % 8));
    }
    b.addRecord(bitmap);
    return b;
}

PageBuilder SyntheticDatabase::objectPage(std::int32_t pageId, int object, bool withRecords) const {
    const Object& o = objects_[static_cast<std::size_t>(object)];
    Random rng({recipe_.seed, 0xDA7Au, static_cast<std::uint64_t>(pageId)});
    PageBuilder b = PageBuilder::dataPage(pageId, recipe_.fileId, o.pageType, o.id);
    auto it = std::lower_bound(o.pages.begin(), o.pages.end(), pageId);
    // The chain links pages of the same kind: IAM and name pages stay out of it.
    auto chained = [&](std::int32_t p) {
        PageRole r = role(p);
        return r == PageRole::Data || r == PageRole::Index || r == PageRole::FileName;
    };
    for (auto prev = it; prev != o.pages.begin();) {
        --prev;
        if (chained(*prev)) {
            b.setPrevious(*prev, recipe_.fileId);
            break;
        }
    }
    for (auto nxt = it + 1; nxt != o.pages.end(); ++nxt) {
        if (chained(*nxt)) {
            b.setNext(*nxt, recipe_.fileId);
            break;
        }
    }
    if (o.pageType == 2) {
        b.set16(6, static_cast<std::uint16_t>(2 + object));
        if (it == o.pages.begin()) b.set8(3, 1);  // the root sits one level up
    }
    b.set8(5, static_cast<std::uint8_t>(rng.chance(50) ? 0x80 : 0xC0));
    if (withRecords) fillRecords(b, rng, pfsByte(pageId) & 0x07);
    return b;
}

PageBuilder SyntheticDatabase::fileNamePage() const {
    PageBuilder b = objectPage(32, 0, false);
    b.addFileNameRecord(recipe_.logicalName, recipe_.physicalPath);
    return b;
}

PageBuilder SyntheticDatabase::systemPage(std::int32_t pageId, std::uint8_t type) const {
    Random rng({recipe_.seed, 0x5757u, static_cast<std::uint64_t>(pageId)});
    PageBuilder b = PageBuilder::dataPage(pageId, recipe_.fileId, type, 99);
    b.set8(2, 0);
    std::vector<std::uint8_t> record(static_cast<std::size_t>(rng.between(90, 600)));
    for (auto& byte : record)
        byte = rng.byte();
    record[0] = 0x00;
    storeU16(&record[2], static_cast<std::uint16_t>(record.size()));
    b.addRecord(record);
    return b;
}

PageBuilder SyntheticDatabase::unrelatedPage(std::int32_t pageId, std::int32_t ownerId,
                                             std::uint64_t salt) const {
    Random rng({recipe_.seed, salt, static_cast<std::uint64_t>(pageId)});
    PageBuilder b = PageBuilder::dataPage(pageId, recipe_.fileId, 1, ownerId);
    b.set8(5, 0x80);
    fillRecords(b, rng, static_cast<int>(rng.between(1, 4)));
    return b;
}

Page SyntheticDatabase::page(std::int32_t pageId) const {
    PageRole r = role(pageId);
    PageBuilder b;
    switch (r) {
        case PageRole::Unused:
            return b.build();
        case PageRole::FileHeader:
            b = PageBuilder::fileHeaderPage(recipe_.fileId, recipe_.pages);
            break;
        case PageRole::Pfs:
            b = pfsPage(pageId);
            break;
        case PageRole::Gam:
            b = systemPage(pageId, 8);
            break;
        case PageRole::Sgam:
            b = systemPage(pageId, 9);
            break;
        case PageRole::Diff:
            b = systemPage(pageId, 16);
            break;
        case PageRole::Ml:
            b = systemPage(pageId, 17);
            break;
        case PageRole::Boot:
            b = systemPage(pageId, 13);
            break;
        case PageRole::Iam:
            b = iamPage(pageId, objectOf_[static_cast<std::size_t>(pageId)]);
            break;
        case PageRole::Data:
        case PageRole::Index:
            b = objectPage(pageId, objectOf_[static_cast<std::size_t>(pageId)], true);
            break;
        case PageRole::FileName:
            b = fileNamePage();
            break;
        case PageRole::Ghost:
            b = unrelatedPage(pageId, droppedObjectId_, 0x6057u);
            break;
    }
    protect(b, pageId);
    return b.build();
}

Page SyntheticDatabase::stalePage(std::int32_t pageId, std::uint64_t salt) const {
    std::int32_t foreign = static_cast<std::int32_t>(
        Random({recipe_.seed, 0x57A1Eu, salt}).between(100000, 2'000'000'000));
    PageBuilder b = unrelatedPage(pageId, foreign, salt ^ 0x57A1Eu);
    protect(b, pageId);
    return b.build();
}

void SyntheticDatabase::writeTo(const std::string& path) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (std::int32_t p = 0; p < recipe_.pages; ++p) {
        Page pg = page(p);
        out.write(reinterpret_cast<const char*>(pg.data()),
                  static_cast<std::streamsize>(pg.size()));
    }
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string SyntheticDatabase::sha256() const {
    Sha256 sha;
    for (std::int32_t p = 0; p < recipe_.pages; ++p)
        sha.update(page(p));
    return sha.finishHex();
}

}  // namespace mdf::test
