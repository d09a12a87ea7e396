#include "analysis/split_page_search.h"

#include <algorithm>
#include <unordered_map>

#include "analysis/scattered_reads.h"
#include "analysis/sector_claims.h"
#include "scan/page_protection.h"
#include "scan/page_structure.h"
#include "scan/sector_sums.h"
#include "source/byte_order.h"
#include "source/sector_source.h"

namespace mdf {
namespace {

constexpr std::int64_t kChunkSectors = 8192;  // 4 MiB per read

std::uint32_t sectorXor(const std::uint8_t* sector, bool firstOfPage) {
    std::uint32_t x = 0;
    for (int w = 0; w < 128; ++w)
        if (!(firstOfPage && w == 15)) x ^= loadU32(sector + 4 * w);
    return x;
}

// What the tail from page sector `from` on must add to the checksum for the page to verify.
std::uint32_t neededFromTail(const std::array<std::uint8_t, 8192>& page, int from) {
    std::uint32_t sum = 0;
    for (int s = 0; s < from; ++s)
        sum ^= rotateLeft32(sectorXor(&page[static_cast<std::size_t>(512 * s)], s == 0),
                            static_cast<unsigned>(15 - s));
    return sum ^ loadU32(&page[60]);
}

// Head sectors 1 .. from-1 carry the torn value s in their last byte.
bool headTornAgrees(const std::array<std::uint8_t, 8192>& page, int from, std::uint8_t s) {
    for (int k = 1; k < from; ++k)
        if ((page[static_cast<std::size_t>(512 * k + 511)] & 3) != s) return false;
    return true;
}

// At most this many places are looked at closely for one split of a page without protection.
constexpr std::size_t kMostPlainCandidates = 64;
// What the tails read ahead of their weighing may hold at most; any more are read one by one.
constexpr std::size_t kMostTailBytes = std::size_t{64} << 20;

// Whether the slot array at the end of a tail of `sectors` sectors (its end at tailEnd) fits the
// page whose header is head: every entry its slot count reaches points inside the used area, and
// not every entry is empty.
bool slotArrayFits(const std::array<std::uint8_t, 8192>& head, const std::uint8_t* tailEnd,
                   int sectors) {
    const std::uint32_t slots = loadU16(&head[22]);
    const std::uint32_t freeData = loadU16(&head[30]);
    if (slots == 0 || 2 * slots > static_cast<std::uint32_t>(sectors) * 512) return false;
    bool any = false;
    for (std::uint32_t k = 0; k < slots; ++k) {
        const std::uint16_t offset = loadU16(tailEnd - 2 - 2 * k);
        if (offset == 0) continue;
        if (offset < 96 || offset >= freeData) return false;
        any = true;
    }
    return any;
}

// The values some page needs, by their low 22 bits: a place whose bit is clear is wanted by none.
class CheckSumFilter {
  public:
    void add(std::uint32_t v) { bits_[v & kMask] = true; }
    bool test(std::uint32_t v) const { return bits_[v & kMask]; }

  private:
    static constexpr std::uint32_t kMask = (1u << 22) - 1;
    std::vector<bool> bits_ = std::vector<bool>(std::size_t{kMask} + 1);
};

struct Want {
    std::size_t page;
    int from;  // first page sector the tail supplies
};

// The distinct forms of one page that pass a test, and those among them whose tail ends where the
// run after the page begins. One is taken only when it is the only one, or the only one that
// continues the run.
struct Forms {
    std::vector<std::array<std::uint8_t, 8192>> all, continuing;

    void add(const std::array<std::uint8_t, 8192>& page, bool continuesRun) {
        if (std::find(all.begin(), all.end(), page) != all.end()) return;
        all.push_back(page);
        if (continuesRun) continuing.push_back(page);
    }
    const std::array<std::uint8_t, 8192>* taken() const {
        if (all.size() == 1) return &all.front();
        if (all.size() > 1 && continuing.size() == 1) return &continuing.front();
        return nullptr;
    }
    bool ambiguous() const { return all.size() > 1 && !taken(); }
};

}  // namespace

SplitSearchResult searchSplitPages(SectorSource& source, const std::vector<BrokenPage>& pages,
                                   const SplitSearchSettings& settings) {
    SplitSearchResult result;
    const int cs = settings.clusterSectors;
    if (cs < 1 || cs >= 16 || 16 % cs != 0 || pages.empty()) {
        for (const BrokenPage& p : pages)
            result.unresolved.push_back(p.pageId);
        return result;
    }

    // What each page needs from a tail beginning at page sector `from`, per split point.
    std::vector<std::unordered_multimap<std::uint32_t, Want>> wantedSum(16);
    std::vector<std::vector<Want>> wantedTorn(16 * 3);  // index from * 3 + torn value
    std::vector<std::vector<Want>> wantedPlain(16);     // pages without protection, by split point
    for (std::size_t i = 0; i < pages.size(); ++i) {
        const auto& page = pages[i].asRead;
        const PageProtection protection = pageProtection(page);
        for (int from = cs; from < 16 && from <= pages[i].knownSectors; from += cs) {
            if (protection == PageProtection::None)
                wantedPlain[static_cast<std::size_t>(from)].push_back({i, from});
            if (protection == PageProtection::Checksum)
                wantedSum[static_cast<std::size_t>(from)].insert(
                    {neededFromTail(page, from), {i, from}});
            const std::uint8_t s = page[60] & 3;
            if (protection == PageProtection::TornBits && (s == 1 || s == 2) &&
                headTornAgrees(page, from, s))
                wantedTorn[static_cast<std::size_t>(from * 3 + s)].push_back({i, from});
        }
    }

    // Nearly every place is wanted by no page: a bit per value (its low bits) says so without a
    // look into the table.
    CheckSumFilter mayBeWanted;
    for (const auto& sums : wantedSum)
        for (const auto& [needed, want] : sums)
            mayBeWanted.add(needed);

    // One pass over the source: every cluster that no fragment claims and that is not all zero
    // may begin a tail.
    std::vector<std::vector<std::int64_t>> sumHits(pages.size() * 16);
    std::vector<std::vector<std::int64_t>> tornHits(pages.size() * 16);
    std::vector<std::vector<std::int64_t>> plainHits(pages.size() * 16);
    const SectorClaims claims(settings.claimed);
    std::vector<std::uint8_t> chunk(static_cast<std::size_t>(kChunkSectors + 16) * 512);
    std::vector<std::uint32_t> xors(static_cast<std::size_t>(kChunkSectors + 16));
    std::vector<std::uint8_t> low(static_cast<std::size_t>(kChunkSectors + 16));
    std::vector<std::uint8_t> nonZero(static_cast<std::size_t>(kChunkSectors + 16));
    std::vector<std::int64_t> nextData(static_cast<std::size_t>(kChunkSectors + 17));
    const bool bytesWanted = std::any_of(wantedPlain.begin(), wantedPlain.end(),
                                         [](const std::vector<Want>& w) { return !w.empty(); });
    int told = -1;
    std::int64_t dataAt = -1;  // where the sums hold data again, as last asked
    for (std::int64_t at = 0; at < settings.endSector; at += kChunkSectors) {
        if (settings.stop && settings.stop->load()) {
            result.stopped = true;
            return result;
        }
        if (settings.progress) {
            const int percent = static_cast<int>(at * 100 / settings.endSector);
            if (percent != told) settings.progress(told = percent);
        }
        const std::int64_t count =
            std::min<std::int64_t>(kChunkSectors + 16, settings.endSector - at);
        const bool fromSums =
            !bytesWanted && settings.sums && settings.sums->covers(at, at + count);
        if (fromSums) {
            if (dataAt < at) dataAt = settings.sums->nextWritten(at);
            // Nothing but zeros: no tail begins here, and there is nothing to read.
            if (dataAt >= at + count) {
                ++result.summedChunks;
                continue;
            }
        }
        const bool summed =
            fromSums && settings.sums->read(at, count, xors.data(), low.data(), nonZero.data());
        if (summed) {
            ++result.summedChunks;
        } else {
            std::fill(chunk.begin(), chunk.end(), 0);
            if (!source.readSectors(static_cast<std::uint32_t>(count), chunk.data(), at)) continue;
            ++result.readChunks;
            for (std::int64_t k = 0; k < count; ++k) {
                const auto at = static_cast<std::size_t>(k);
                const SectorSums::Sum sum = SectorSums::of(&chunk[at * 512]);
                xors[at] = sum.wordsXor;
                low[at] = sum.low;
                nonZero[at] = sum.nonZero;
            }
        }
        // nextData[k]: the first sector at or after k that is not all zero.
        nextData[static_cast<std::size_t>(count)] = count;
        for (std::int64_t k = count - 1; k >= 0; --k)
            nextData[static_cast<std::size_t>(k)] = nonZero[static_cast<std::size_t>(k)]
                                                        ? k
                                                        : nextData[static_cast<std::size_t>(k) + 1];
        const std::int64_t last = std::min<std::int64_t>(kChunkSectors, count);
        const std::int64_t x0 = ((settings.clusterOrigin - at) % cs + cs) % cs;
        for (std::int64_t x = x0; x < last; x += cs) {
            // A place whose next 16 sectors are all zero holds no tail worth finding.
            if (nextData[static_cast<std::size_t>(x)] >= x + 16) continue;
            if (!claims.free(at + x, at + x + cs)) continue;
            if (nextData[static_cast<std::size_t>(x)] < x + cs) ++result.candidateClusters;
            const std::int64_t freeEnd = claims.nextClaimAfter(at + x);
            // What the tail of each length contributes to the checksum, before its rotation by
            // where it begins in the page: rotating a sector's XOR by 15 - (from + t) is rotating
            // it right by t, then the whole tail left by 15 - from.
            std::array<std::uint32_t, 16> tailXor{};
            for (int t = 0; t < 15 && x + t < count; ++t)
                tailXor[static_cast<std::size_t>(t) + 1] =
                    tailXor[static_cast<std::size_t>(t)] ^
                    rotateLeft32(xors[static_cast<std::size_t>(x + t)],
                                 static_cast<unsigned>((32 - t) % 32));
            for (int from = cs; from < 16; from += cs) {
                const int length = 16 - from;
                if (x + length > count || nextData[static_cast<std::size_t>(x)] >= x + length ||
                    at + x + length > freeEnd)
                    continue;
                auto& sums = wantedSum[static_cast<std::size_t>(from)];
                if (!sums.empty()) {
                    const std::uint32_t c = rotateLeft32(tailXor[static_cast<std::size_t>(length)],
                                                         static_cast<unsigned>(15 - from));
                    if (mayBeWanted.test(c)) {
                        auto [b, e] = sums.equal_range(c);
                        for (auto it = b; it != e; ++it)
                            sumHits[it->second.page * 16 + static_cast<std::size_t>(from)]
                                .push_back(at + x);
                    }
                }
                // A tail for a page without protection holds its slot array: the entries the
                // page's header counts must point inside its used area.
                for (const Want& w : wantedPlain[static_cast<std::size_t>(from)]) {
                    auto& hits = plainHits[w.page * 16 + static_cast<std::size_t>(from)];
                    if (hits.size() < kMostPlainCandidates &&
                        slotArrayFits(pages[w.page].asRead,
                                      &chunk[static_cast<std::size_t>(x + length) * 512], length))
                        hits.push_back(at + x);
                }
                const std::uint8_t v = low[static_cast<std::size_t>(x)];
                if (v != 1 && v != 2) continue;
                const auto& torn = wantedTorn[static_cast<std::size_t>(from * 3 + v)];
                if (torn.empty()) continue;
                bool same = true;
                for (int t = 0; t < length && same; ++t)
                    same = low[static_cast<std::size_t>(x + t)] == v;
                if (!same) continue;
                for (const Want& w : torn) {
                    // Two fits already make a page ambiguous, unless one of them continues into
                    // the next run: that one is always kept.
                    auto& hits = tornHits[w.page * 16 + static_cast<std::size_t>(from)];
                    if (hits.size() < 2 || pages[w.page].nextRunSector == at + x + length)
                        hits.push_back(at + x);
                }
            }
        }
    }

    // Every tail a checksum points at is weighed: they are read together, before the weighing.
    std::vector<ScatteredReads::Stretch> pointedAt;
    for (std::size_t h = 0; h < sumHits.size(); ++h)
        for (std::int64_t tail : sumHits[h])
            pointedAt.push_back({tail, static_cast<std::uint32_t>(16 - h % 16)});
    ScatteredReads tails(source, std::move(pointedAt), kMostTailBytes);
    auto assemble = [&](std::size_t i, int from, std::int64_t tail,
                        std::array<std::uint8_t, 8192>& out) {
        out = pages[i].asRead;
        return tails.read(static_cast<std::uint32_t>(16 - from),
                          &out[static_cast<std::size_t>(512 * from)], tail);
    };
    for (std::size_t i = 0; i < pages.size(); ++i) {
        std::array<std::uint8_t, 8192> page{};
        bool found = false;
        const bool torn = pageProtection(pages[i].asRead) == PageProtection::TornBits;
        std::vector<std::pair<int, std::int64_t>> tornFits;
        auto continuesRun = [&](int from, std::int64_t tail) {
            return pages[i].nextRunSector >= 0 && tail + (16 - from) == pages[i].nextRunSector;
        };
        // A checksum is 32 bits and many tails are mostly zeros: on a large disk another tail can
        // verify as well, so every form that verifies is weighed.
        Forms verifying;
        for (int from = 16 - cs; from >= cs; from -= cs) {
            for (std::int64_t tail : sumHits[i * 16 + static_cast<std::size_t>(from)])
                if (assemble(i, from, tail, page) && verifyPage(page))
                    verifying.add(page, continuesRun(from, tail));
            for (std::int64_t tail : tornHits[i * 16 + static_cast<std::size_t>(from)])
                tornFits.push_back({from, tail});
        }
        if (const auto* only = verifying.taken()) {
            page = *only;
            found = true;
        } else if (verifying.ambiguous()) {
            result.ambiguous.push_back(pages[i].pageId);
        }
        // Torn bits match any sector written in the same round: of several tails that fit, the
        // one that continues into the next run is taken, and only that one.
        auto continuing = [&](const std::vector<std::pair<int, std::int64_t>>& fits) {
            std::vector<std::pair<int, std::int64_t>> out;
            for (const auto& [from, tail] : fits)
                if (continuesRun(from, tail)) out.push_back({from, tail});
            return out;
        };
        if (!found && torn && tornFits.size() > 1) {
            const auto next = continuing(tornFits);
            if (next.size() == 1) tornFits = next;
        }
        if (!found && torn && tornFits.size() == 1) {
            found = assemble(i, tornFits[0].first, tornFits[0].second, page) && verifyPage(page);
        } else if (!found && torn && tornFits.size() > 1) {
            result.ambiguous.push_back(pages[i].pageId);
        }
        if (pageProtection(pages[i].asRead) == PageProtection::None) {
            // Every form whose structure holds; one, and only one, is taken.
            Forms holding;
            for (int from = cs; from < 16; from += cs)
                for (std::int64_t tail : plainHits[i * 16 + static_cast<std::size_t>(from)])
                    if (assemble(i, from, tail, page) && pageStructureHolds(page))
                        holding.add(page, continuesRun(from, tail));
            if (const auto* only = holding.taken()) {
                page = *only;
                found = true;
            } else if (holding.ambiguous()) {
                result.ambiguous.push_back(pages[i].pageId);
            }
        }
        if (found)
            result.restored[pages[i].pageId] = page;
        else
            result.unresolved.push_back(pages[i].pageId);
    }
    return result;
}

}  // namespace mdf
