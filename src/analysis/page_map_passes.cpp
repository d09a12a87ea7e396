#include "analysis/page_map_passes.h"

#include <array>
#include <climits>

#include "report/reporter.h"
#include "source/byte_order.h"

namespace mdf {
namespace {

constexpr std::int32_t kPfsInterval = 8088;

using PageBuffer = std::array<std::uint8_t, 8192>;

std::int32_t i32(const PageBuffer& p, std::size_t at) {
    return loadI32(&p[at]);
}
std::uint16_t u16(const PageBuffer& p, std::size_t at) {
    return loadU16(&p[at]);
}

bool usableRecordOffset(std::uint16_t off) {
    return off >= 96 && off < 8096;
}

// Bytes of a record's payload that lie inside the page, whatever its length field claims.
std::int64_t payloadBytes(const PageBuffer& p, std::uint16_t off) {
    const std::int64_t length = loadI16(&p[off + 2u]);
    return std::min<std::int64_t>(length - 4, 8192 - (off + 4));
}

void markPfsByte(PageMap& map, std::uint8_t b, std::int64_t pageId, bool guessed) {
    PageMapEntry* t = map.at(pageId);
    if (!t) return;
    t->guessed = guessed;
    if (b & 0x40) {
        t->allocState = 1;
        if (b & 0x10) t->kind = 10;
    } else {
        t->allocState = 0;
    }
}

bool isAnalysedType(std::uint8_t type) {
    return type == 1 || type == 2 || type == 10 || type == 11;
}

// The common start of both recording passes: false when the page is not to be used.
bool usablePage(const PageBuffer& page, const PageMapEntry& e) {
    if (page[0] != 1 || !isAnalysedType(page[1])) return false;
    if (e.allocState == 0) return false;
    // While the allocation is undetermined only a PFS page is believed.
    if (e.allocState == 0xFF && page[1] != 11) return false;
    return true;
}

bool isLastAllocationPageOfSmallClusters(const PageMapPass& pass, std::int32_t i,
                                         std::int32_t pages, std::uint8_t type) {
    return pass.sectorsPerCluster < 16 && i == pages - 1 && (type == 10 || type == 11);
}

// An IAM page claims page q for owner; guard is the slot or extent page id it came from.
void applyIamClaim(PageMapPass& pass, std::int32_t owner, std::int64_t q, std::int64_t guard,
                   const char* error) {
    if (guard <= 0) return;
    PageMapEntry* e = pass.map.at(q);
    if (!e) return;
    const std::int32_t known = e->ownerId;
    if (known == 0) {
        e->ownerId = owner;
        e->ownerSource = 0;
        e->guessed = pass.guessed;
    } else if (owner != known && known != 99) {
        if (e->ownerSource != 0) {
            e->ownerId = owner;
            e->ownerSource = 0;
            e->guessed = pass.guessed;
        } else {
            pass.reporter.logLine(Memo::Analysis, error);
        }
    }
}

void recordPfsPayload(PageMap& map, const PageBuffer& page, std::uint16_t off, std::int64_t limit,
                      bool guessed) {
    const std::int32_t pid = i32(page, 32);
    const std::int64_t bytes = std::min(limit, payloadBytes(page, off));
    for (std::int64_t j = 0; j < bytes; ++j)
        markPfsByte(map, page[static_cast<std::size_t>(off + 4 + j)],
                    pid == 1 ? j : std::int64_t{pid} + j, guessed);
}

// Hands every page an IAM page claims to claim(page, guard, error): its single-page slots, then
// each page of the extents its bitmap marks (guard: the extent's first page).
template <typename Claim>
void forEachIamClaim(const PageBuffer& page, Claim claim) {
    const std::uint16_t off = u16(page, 8190);
    if (!usableRecordOffset(off)) return;
    const std::int64_t start = i32(page, off + 40u);
    for (std::size_t k = 0; k < 8; ++k) {
        const std::int64_t p = i32(page, off + 46u + 6 * k);
        claim(p, p, "erra");
    }
    const std::uint16_t off1 = u16(page, 8188);
    if (!usableRecordOffset(off1) || loadI16(&page[off1 + 2u]) < 5) return;
    const std::int64_t bytes = payloadBytes(page, off1);
    for (std::int64_t j = 0; j < bytes; ++j) {
        const std::uint8_t b = page[static_cast<std::size_t>(off1 + 4 + j)];
        for (int bit = 0; bit < 8; ++bit) {
            if (!(b & (1 << bit))) continue;
            const std::int64_t x = start + 64 * j + 8 * bit;
            for (int k = 0; k < 8; ++k)
                claim(x + k, x, "errb");
        }
    }
}

void recordIam(PageMapPass& pass, const PageBuffer& page, PageMapEntry& self) {
    const std::int32_t owner = i32(page, 24);
    self.ownerId = owner;
    self.ownerSource = 0;
    self.guessed = pass.guessed;
    forEachIamClaim(page, [&](std::int64_t q, std::int64_t guard, const char* error) {
        applyIamClaim(pass, owner, q, guard, error);
    });
}

// No page of a database is claimed by the IAM pages of two allocation units: an IAM page that
// claims one that the file's IAM pages gave to another is another database's. withGuesses: what
// guesses put in the map counts too.
bool claimsAnothersPage(const PageMap& map, const PageBuffer& page, bool withGuesses) {
    const std::int32_t owner = i32(page, 24);
    bool clash = false;
    forEachIamClaim(page, [&](std::int64_t q, std::int64_t guard, const char*) {
        if (clash || guard <= 0) return;
        const PageMapEntry e = map.get(q);
        clash = e.ownerSource == 0 && (withGuesses || !e.guessed) && e.ownerId != 0 &&
                e.ownerId != 99 && e.kind != 10 && e.ownerId != owner;
    });
    return clash;
}

enum class PageFit { Silent, Matches, Contradicts };

// What the map says of a candidate's page: its owner and kind agree with the file's allocation
// pages, contradict them, or nothing is known. withGuesses: entries guesses set count too.
PageFit judgePage(const PageMap& map, const PageMapEntry& e, const PageBuffer& page,
                  bool withGuesses) {
    if (page[1] == 10 && claimsAnothersPage(map, page, withGuesses)) return PageFit::Contradicts;
    if (e.guessed && !withGuesses) return PageFit::Silent;
    // The PFS byte of every IAM page says it is one: an IAM page where the file's PFS page gives
    // an allocated page of another kind is another database's, or an older state's.
    if (page[1] == 10 && e.allocState == 1 && e.kind != 10) return PageFit::Contradicts;
    const std::int32_t owner = i32(page, 24);
    if (e.ownerId > 0) {
        if (owner == e.ownerId)
            return e.kind == 10 && page[1] != 10 ? PageFit::Contradicts : PageFit::Matches;
        return e.allocState == 1 && e.ownerSource == 0 ? PageFit::Contradicts : PageFit::Silent;
    }
    if (e.kind == 10 && e.allocState == 1)
        return page[1] != 10 ? PageFit::Contradicts : PageFit::Matches;
    return PageFit::Silent;
}

// A data or index page lends its owner to the pages it links to; returns false when its
// previous page is not known to be allocated, which ends the look at this page.
bool recordLink(PageMapPass& pass, std::int32_t owner, std::int32_t target, std::uint8_t fileLow,
                std::uint8_t fileHigh, bool stopUnlessAllocated) {
    if (target <= 0 || fileLow != 1 || fileHigh != 0) return true;
    PageMapEntry* e = pass.map.at(target);
    if (!e || e->allocState != 1) return !stopUnlessAllocated;
    if (e->ownerId == 0) {
        e->ownerId = owner;
        e->ownerSource = 1;
        e->guessed = pass.guessed;
    } else if (e->ownerId != owner) {
        pass.reporter.logLine(Memo::Analysis, "errc");
    }
    return true;
}

void recordLinks(PageMapPass& pass, const PageBuffer& page) {
    const std::int32_t prev = i32(page, 8), next = i32(page, 16);
    if (prev == 0 && next == 0) return;
    const std::int32_t owner = i32(page, 24);
    if (!recordLink(pass, owner, prev, page[12], page[13], true)) return;
    recordLink(pass, owner, next, page[20], page[21], false);
}

// An unreadable page is told and listed. Without a list to keep it in, the pass stops there.
bool readPage(PageMapPass& pass, std::int64_t fsec, std::int32_t i, std::int32_t pages,
              std::int64_t pageId, PageBuffer& page) {
    if (pass.pages.readPassPage(fsec, i, pages, page)) return true;
    const std::int64_t sector = fsec + std::int64_t{i} * 16;
    if (!pass.unreadable) {
        pass.reporter.showMessage("read disk error", "message");
        pass.reporter.logLine(Memo::Analysis, readErrorLine(sector, pageId));
        return false;
    }
    if (pass.unreadable->empty()) pass.reporter.showMessage("read disk error", "message");
    if (pageId >= 0 && pageId <= INT32_MAX)
        pass.unreadable->insert(static_cast<std::int32_t>(pageId));
    pass.reporter.logLine(Memo::Analysis, "read disk error,page " + std::to_string(pageId) +
                                              " (unreadable), sector " + std::to_string(sector));
    return false;
}

// Reads each page of a fragment and hands those the recording passes may use to use().
template <typename Use>
PassOutcome forEachUsablePage(PageMapPass& pass, std::int32_t pages, std::int32_t basePage,
                              std::int64_t fsec, Use use) {
    PageBuffer page{};
    for (std::int32_t i = 0; i < pages; ++i) {
        if (!readPage(pass, fsec, i, pages, std::int64_t{basePage} + i, page)) {
            if (!pass.unreadable) return PassOutcome::ReadFailed;
            continue;
        }
        const std::int64_t id = std::int64_t{basePage} + i;
        if (usablePage(page, pass.map.get(id))) use(i, id, page);
    }
    return PassOutcome::Done;
}

// A PFS page owns itself, and its record at off marks the pages it covers.
void recordPfsPage(PageMap& map, const PageBuffer& page, std::int64_t id, std::uint16_t off,
                   std::int64_t limit, bool guessed) {
    if (PageMapEntry* e = map.at(id)) {
        e->ownerId = i32(page, 24);
        e->ownerSource = 0;
        e->guessed = guessed;
    }
    if (!usableRecordOffset(off) || loadI16(&page[off + 2u]) < 5) return;
    recordPfsPayload(map, page, off, limit, guessed);
}

}  // namespace

void resetPageMap(PageMap& map, std::int64_t count) {
    map.reset(count);
}

PassOutcome recordPfsPages(PageMapPass& pass, std::int32_t pages, std::int32_t basePage,
                           std::int64_t fsec) {
    return forEachUsablePage(
        pass, pages, basePage, fsec, [&](std::int32_t i, std::int64_t id, PageBuffer& page) {
            std::int64_t n = kPfsInterval;
            // With small clusters the second half of a fragment's last page may belong to another
            // file; then only the PFS bytes in its first half, from offset 96, are believed.
            if (isLastAllocationPageOfSmallClusters(pass, i, pages, page[1]) &&
                (page[8191] > 2 || page[8190] != 0x60))
                n = 3996;
            restoreTornBits(page);
            if (page[1] == 11)
                recordPfsPage(pass.map, page, id, n == kPfsInterval ? u16(page, 8190) : 96, n,
                              pass.guessed);
        });
}

PassOutcome recordFragmentPages(PageMapPass& pass, std::int32_t pages, std::int32_t basePage,
                                std::int64_t fsec) {
    return forEachUsablePage(
        pass, pages, basePage, fsec, [&](std::int32_t i, std::int64_t id, PageBuffer& page) {
            if (isLastAllocationPageOfSmallClusters(pass, i, pages, page[1]) && !verifyPage(page))
                return;
            restoreTornBits(page);
            switch (page[1]) {
                case 11: {
                    const std::int32_t pid = i32(page, 32);
                    if (pid == 1 || pid % kPfsInterval <= 0)
                        recordPfsPage(pass.map, page, id, u16(page, 8190), INT64_MAX, pass.guessed);
                    break;
                }
                case 10:
                    if (PageMapEntry* e = pass.map.at(id)) recordIam(pass, page, *e);
                    break;
                default:
                    recordLinks(pass, page);
            }
        });
}

MatchCounts matchFragmentPages(PageMapPass& pass, std::int32_t pages, std::int32_t basePage,
                               std::int64_t fsec) {
    MatchCounts counts;
    bool judged = false, judgedFirmly = false;  // a mismatch ends each judgement
    PageBuffer page{};
    for (std::int32_t i = 0; i < pages && !(judged && judgedFirmly); ++i) {
        if (!pass.pages.readPassPage(fsec, i, pages, page)) return counts;
        restoreTornBits(page);
        if (i32(page, 24) == 99) continue;
        const PageMapEntry e = pass.map.get(std::int64_t{basePage} + i);
        if (e.allocState == 0 || page[0] != 1) continue;
        if (!judged) {
            const PageFit fit = judgePage(pass.map, e, page, true);
            counts.matches += fit == PageFit::Matches;
            counts.guessedMatches += fit == PageFit::Matches && e.guessed;
            counts.mismatches += fit == PageFit::Contradicts;
            judged = fit == PageFit::Contradicts;
        }
        if (!judgedFirmly) {
            const PageFit fit = judgePage(pass.map, e, page, false);
            counts.firmMatches += fit == PageFit::Matches;
            counts.firmMismatches += fit == PageFit::Contradicts;
            judgedFirmly = fit == PageFit::Contradicts;
        }
    }
    return counts;
}

}  // namespace mdf
