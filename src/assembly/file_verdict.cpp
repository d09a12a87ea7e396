#include "assembly/file_verdict.h"

#include <algorithm>
#include <array>
#include <set>

#include "scan/page_structure.h"
#include "source/byte_order.h"
#include "source/platform_file.h"

namespace mdf {
namespace {

constexpr std::int64_t kPfsInterval = 8088;
constexpr std::int64_t kGamInterval = 511232;
constexpr std::uint8_t kUnknown = 0xFF;  // no PFS page covering the page was seen

enum NoteFlag : std::uint8_t {
    kZero = 1,
    kProtected = 2,
    kProtectionHolds = 4,
    kStructureHolds = 8,
    kIdHolds = 16,
};

enum PageType : std::uint8_t {
    kData = 1,
    kIndex = 2,
    kTextMix = 3,
    kTextTree = 4,
    kGam = 8,
    kSgam = 9,
    kIam = 10,
    kPfs = 11
};

bool holdsRows(std::uint8_t type) {
    return type == kData || type == kIndex || type == kTextMix || type == kTextTree;
}

// Pages every database file has wherever its size reaches: the file header page, the first PFS
// page and every later one, the GAM, SGAM, differential and bulk-logged map pages of every
// interval, the boot page.
bool alwaysAllocated(std::int64_t p) {
    if (p == 0 || p == 1 || p == 9) return true;
    if (p % kPfsInterval == 0) return true;
    const std::int64_t inGam = p % kGamInterval;
    if (p < kGamInterval) return p == 2 || p == 3 || p == 6 || p == 7;
    return inGam == 0 || inGam == 1 || inGam == 6 || inGam == 7;
}

std::uint16_t u16(const std::vector<std::uint8_t>& page, std::size_t at) {
    return loadU16(&page[at]);
}

bool usableRecordOffset(std::size_t offset) {
    return offset >= 96 && offset + 4 <= 8192;
}

// The payload of the record a slot points at, cut at the page's end.
std::pair<std::size_t, std::size_t> payloadOf(const std::vector<std::uint8_t>& page,
                                              std::size_t slot) {
    const std::size_t offset = u16(page, 8190 - 2 * slot);
    if (!usableRecordOffset(offset)) return {0, 0};
    const std::int64_t length = static_cast<std::int64_t>(loadI16(&page[offset + 2])) - 4;
    const std::size_t bytes =
        static_cast<std::size_t>(std::clamp<std::int64_t>(length, 0, 8192 - (offset + 4)));
    return {offset + 4, bytes};
}

}  // namespace

bool VerdictFindings::empty() const {
    return missingAllocated.empty() && missingAllocationUnknown.empty() && unreadable.empty() &&
           failingProtection.empty() && failingStructure.empty() && unverifiable.empty() &&
           otherDatabase.empty() && staleCopy.empty() && takenWithoutEvidence.empty() &&
           brokenLinks.empty();
}

void FileVerifier::noteAt(std::int32_t pageId, const Note& note) {
    if (pageId < 0) return;
    const auto at = static_cast<std::size_t>(pageId);
    if (notes_.size() <= at) notes_.resize(at + 1);
    notes_[at] = note;
}

void FileVerifier::zeros(std::int32_t first, std::int64_t count, PageSource source) {
    Note zero;
    zero.flags = kZero;
    zero.source = source;
    for (std::int64_t p = first; p < std::int64_t{first} + count; ++p)
        noteAt(static_cast<std::int32_t>(p), zero);
}

void FileVerifier::page(std::int32_t pageId, ConstPageBytes bytes, PageSource source) {
    Note n;
    n.source = source;
    if (std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; })) {
        n.flags = kZero;
        noteAt(pageId, n);
        return;
    }
    n.type = bytes[1];
    if (pageProtection(bytes) != PageProtection::None) n.flags |= kProtected;
    if (verifyPage(bytes)) n.flags |= kProtectionHolds;
    // Torn bits stand where the last two bits of every sector were: the structure is judged on
    // the page as the database engine meant it.
    std::array<std::uint8_t, 8192> restored;
    std::copy(bytes.begin(), bytes.end(), restored.begin());
    restoreTornBits(restored);
    if (pageStructureHolds(restored)) n.flags |= kStructureHolds;
    if (loadI32(&bytes[32]) == pageId) n.flags |= kIdHolds;
    n.fileId = loadU16(&bytes[36]);
    n.owner = loadI32(&bytes[24]);
    n.previous = loadU16(&bytes[12]) == n.fileId ? loadI32(&bytes[8]) : 0;
    n.next = loadU16(&bytes[20]) == n.fileId ? loadI32(&bytes[16]) : 0;
    n.lsn = pageLogSequence(bytes);
    noteAt(pageId, n);
    const bool allocationPage =
        n.type == kPfs || n.type == kIam || n.type == kGam || n.type == kSgam;
    if (allocationPage && (n.flags & kIdHolds))
        allocationPages_[pageId] = {restored.begin(), restored.end()};
}

Verdict FileVerifier::finish() {
    Verdict v;
    const auto pages = static_cast<std::int64_t>(notes_.size());
    v.pages = pages;
    v.pagesCut = pagesCut_;
    v.newerCopiesTaken = newerTaken_;
    auto note = [&](std::int64_t p) -> const Note& { return notes_[static_cast<std::size_t>(p)]; };
    auto present = [&](std::int64_t p) { return p >= 0 && p < pages && !(note(p).flags & kZero); };
    // The file's id is the one its file header page carries.
    std::uint16_t fileId = 1;
    for (std::int64_t p : {0, 1})
        if (present(p)) {
            fileId = note(p).fileId;
            break;
        }

    // What the file's own PFS pages say of every page.
    std::vector<std::uint8_t> pfs(static_cast<std::size_t>(pages), kUnknown);
    for (const auto& [id, bytes] : allocationPages_) {
        if (bytes[1] != kPfs) continue;
        const std::int64_t base = id == 1 ? 0 : id;
        const auto [at, length] = payloadOf(bytes, 0);
        for (std::size_t j = 0;
             j < length && j < kPfsInterval && base + static_cast<std::int64_t>(j) < pages; ++j)
            pfs[static_cast<std::size_t>(base) + j] = bytes[at + j];
    }
    auto allocated = [&](std::int64_t p) {
        const std::uint8_t b = pfs[static_cast<std::size_t>(p)];
        return alwaysAllocated(p) || (b != kUnknown && (b & 0x40));
    };
    std::vector<bool> guessed(static_cast<std::size_t>(pages), false);
    for (const auto& [first, end] : guessed_)
        for (std::int64_t p = std::max(first, 0); p < std::min<std::int64_t>(end, pages); ++p)
            guessed[static_cast<std::size_t>(p)] = true;

    // Which allocation unit each page belongs to, as the file's IAM pages claim them.
    std::vector<std::int32_t> claimedFor(static_cast<std::size_t>(pages), 0);
    std::set<std::int32_t> owners;
    for (const auto& [id, bytes] : allocationPages_) {
        if (bytes[1] != kIam || !allocated(id)) continue;
        const std::int32_t owner = loadI32(&bytes[24]);
        owners.insert(owner);
        auto claim = [&](std::int64_t p) {
            if (p > 0 && p < pages) claimedFor[static_cast<std::size_t>(p)] = owner;
        };
        const std::size_t header = u16(bytes, 8190);
        if (!usableRecordOffset(header) || header + 94 > 8192) continue;
        const std::int64_t start = loadI32(&bytes[header + 40]);
        for (std::size_t k = 0; k < 8; ++k)
            claim(loadI32(&bytes[header + 46 + 6 * k]));
        const auto [at, length] = payloadOf(bytes, 1);
        for (std::size_t j = 0; j < length; ++j)
            for (int bit = 0; bit < 8; ++bit)
                if (bytes[at + j] & (1u << bit))
                    for (std::int64_t k = 0; k < 8; ++k)
                        claim(start + 64 * static_cast<std::int64_t>(j) + 8 * bit + k);
    }

    // An allocation unit no IAM page names tells of another database only when every IAM page
    // the PFS pages place is here to be read: a missing one may be the page that names it.
    bool everyIamRead = true;
    for (std::int64_t p = 0; p < pages && everyIamRead; ++p) {
        const std::uint8_t b = pfs[static_cast<std::size_t>(p)];
        if (b != kUnknown && (b & 0x40) && (b & 0x10)) {
            const auto at = allocationPages_.find(static_cast<std::int32_t>(p));
            everyIamRead = at != allocationPages_.end() && at->second[1] == kIam;
        }
    }

    VerdictFindings& f = v.findings;
    std::set<std::pair<std::int32_t, std::int32_t>> broken;
    for (std::int64_t p = 0; p < pages; ++p) {
        const Note& n = note(p);
        const std::uint8_t pfsByte = pfs[static_cast<std::size_t>(p)];
        const auto id = static_cast<std::int32_t>(p);
        // A page no PFS page covers is judged when it is there; when it could not be found it is
        // named as such, for nothing tells whether the file used it.
        if (pfsByte == kUnknown && !alwaysAllocated(p) && !present(p)) {
            if (n.source == PageSource::Gap || n.source == PageSource::Unreadable)
                f.missingAllocationUnknown.push_back(id);
            continue;
        }
        if (!allocated(p) && !(pfsByte == kUnknown && present(p))) continue;
        ++v.allocatedPages;
        if (n.flags & kZero) {
            (n.source == PageSource::Unreadable ? f.unreadable : f.missingAllocated).push_back(id);
            continue;
        }
        if (n.fileId != fileId) {
            f.otherDatabase.push_back(id);
            continue;
        }
        if (!(n.flags & kIdHolds)) {
            f.failingStructure.push_back(id);
            continue;
        }
        if (n.flags & kProtected) {
            if (!(n.flags & kProtectionHolds)) {
                f.failingProtection.push_back(id);
                continue;
            }
            ++v.verifiedPages;
        } else if (!(n.flags & kStructureHolds)) {
            f.failingStructure.push_back(id);
            continue;
        } else if (n.source == PageSource::Pieced) {
            f.unverifiable.push_back(id);
            continue;
        } else {
            ++v.soundPages;
        }
        // A page of rows belongs to an allocation unit the file's IAM pages know, and to the one
        // that claims it; an IAM page stands where the PFS page says one stands.
        const std::int32_t claimed = claimedFor[static_cast<std::size_t>(p)];
        if (holdsRows(n.type) && !owners.empty() &&
            ((everyIamRead && !owners.count(n.owner)) || (claimed != 0 && claimed != n.owner))) {
            f.otherDatabase.push_back(id);
            continue;
        }
        if (pfsByte != kUnknown && ((pfsByte & 0x10) != 0) != (n.type == kIam)) {
            f.failingStructure.push_back(id);
            continue;
        }
        if (guessed[static_cast<std::size_t>(p)]) {
            f.takenWithoutEvidence.push_back(id);
            continue;
        }
        if (auto newest = newest_.find(id); newest != newest_.end() && n.lsn < newest->second)
            f.staleCopy.push_back(id);
        // Where both pages of a link are here, each names the other.
        if (n.type == kData || n.type == kIndex) {
            for (const auto& [other, back] :
                 {std::pair{n.next, true}, std::pair{n.previous, false}}) {
                if (!present(other) || !allocated(other)) continue;
                const Note& o = note(other);
                if (o.owner != n.owner || o.type != n.type) continue;
                if ((back ? o.previous : o.next) != id)
                    broken.insert({std::min(id, other), std::max(id, other)});
            }
        }
    }
    f.brokenLinks.assign(broken.begin(), broken.end());
    v.complete = pages > 0 && f.empty() && pagesCut_ == 0;
    return v;
}

std::optional<Verdict> verifyMdfFile(const std::string& path, std::string& error,
                                     const std::function<void(int percent)>& progress) {
    auto file = openPlainReadOnly(path);
    const std::int64_t bytes = plainByteSizeOf(path);
    if (!file || bytes < 0) {
        error = "cannot open " + path;
        return std::nullopt;
    }
    if (bytes % 8192 != 0)
        error = path + " is not a whole number of 8 KB pages: its last " +
                std::to_string(bytes % 8192) + " bytes are not judged";
    FileVerifier verifier;
    std::vector<std::uint8_t> chunk(std::size_t{8192} * 128);
    const std::int64_t pages = bytes / 8192;
    int told = -1;
    for (std::int64_t first = 0; first < pages; first += 128) {
        if (const int percent = static_cast<int>(first * 100 / pages); progress && percent != told)
            progress(told = percent);
        const std::int64_t count = std::min<std::int64_t>(128, pages - first);
        const auto want = static_cast<std::size_t>(count) * 8192;
        if (file->readAt(chunk.data(), want, static_cast<std::uint64_t>(first) * 8192) !=
            static_cast<std::int64_t>(want)) {
            error = "cannot read " + path + " at page " + std::to_string(first);
            return std::nullopt;
        }
        for (std::int64_t k = 0; k < count; ++k)
            verifier.page(static_cast<std::int32_t>(first + k),
                          ConstPageBytes(chunk.data() + 8192 * static_cast<std::size_t>(k), 8192),
                          PageSource::Run);
    }
    return verifier.finish();
}

}  // namespace mdf
