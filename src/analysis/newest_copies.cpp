#include "analysis/newest_copies.h"

#include <algorithm>
#include <optional>

#include "source/byte_order.h"

namespace mdf {
namespace {

using Page = std::array<std::uint8_t, 8192>;

bool sameKind(const Page& a, const Page& b) {
    return a[1] == b[1] && loadI32(&a[24]) == loadI32(&b[24]) && loadU16(&a[6]) == loadU16(&b[6]);
}

// Pages of one fragment by page id, read many at a time: a stale copy is compared with the runs
// page by page, and on a disk read directly a read per page costs a trip to the device each.
class PageBlock {
  public:
    static constexpr std::int32_t kMostPages = 64;

    // Page ids first .. first+count-1 (count at most kMostPages) of r.
    void read(PageOrigin& origin, const FragmentRecord& r, std::int32_t first, std::int32_t count) {
        bytes_.resize(std::size_t{8192} * static_cast<std::size_t>(count));
        first_ = first;
        readFragmentPagesEach(origin, r.fsec, first - r.beginPage, count, bytes_.data(), readable_);
    }
    // Page id p into page; false when it could not be read.
    bool take(std::int32_t p, Page& page) const {
        const auto t = static_cast<std::size_t>(p - first_);
        if (!readable_[t]) return false;
        std::copy_n(&bytes_[t * 8192], 8192, page.begin());
        return true;
    }

  private:
    std::vector<std::uint8_t> bytes_;
    std::vector<bool> readable_;
    std::int32_t first_ = 0;
};

bool protectedAndSound(const Page& page) {
    return pageProtection(page) != PageProtection::None && verifyPage(page);
}

// What a fragment's copy of one page the runs take tells, where the copy verifies, comes from a
// log the head allows, and is of the same kind and allocation unit as the page taken.
struct SharedPage {
    std::int32_t pageId = 0;
    bool takenSound = false;
    LogSequence takenLsn, copyLsn;
    std::optional<Page> copy;  // kept only where it may be better than the page taken
};

// What one fragment holds of the pages the runs take, read once.
struct FragmentCopies {
    bool proven = false;       // a page identical to the one taken, and verified
    bool olderOnSome = false;  // a verified page older than the verified one taken
    std::vector<SharedPage> pages;
};

}  // namespace

NewestCopies findNewestCopies(PageOrigin& origin, const FragmentList& fragments,
                              const FragmentIndex& index, const std::vector<TakenRun>& runs,
                              const HeadLogSequence& head) {
    NewestCopies out;
    std::vector<TakenRun> sorted = runs;
    std::sort(sorted.begin(), sorted.end(),
              [](const TakenRun& a, const TakenRun& b) { return a.startPage < b.startPage; });
    auto allowed = [&](const LogSequence& lsn) {
        return !head.known || lsn.file <= head.newest.file;
    };
    Page taken{}, other{};
    PageBlock copyBlock, takenBlock;
    // The first of the runs taken that may share page ids with a fragment.
    auto firstSharing = [&](const FragmentIndexEntry& e) {
        auto run = std::upper_bound(
            sorted.begin(), sorted.end(), e.beginPage,
            [](std::int32_t page, const TakenRun& r) { return page < r.startPage; });
        return run != sorted.begin() ? std::prev(run) : run;
    };
    auto readCopies = [&](const FragmentIndexEntry& e, const FragmentRecord& copy) {
        FragmentCopies found;
        for (auto run = firstSharing(e); run != sorted.end() && run->startPage < e.endPage; ++run) {
            if (run->recordIndex == e.recordIndex) continue;
            const FragmentRecord& mine = fragments[static_cast<std::size_t>(run->recordIndex)];
            const std::int32_t end = std::min(run->endPage, e.endPage);
            for (std::int32_t p = std::max(run->startPage, e.beginPage), blockEnd = p; p < end;
                 ++p) {
                if (p == blockEnd) {
                    const std::int32_t count = std::min(PageBlock::kMostPages, end - p);
                    copyBlock.read(origin, copy, p, count);
                    takenBlock.read(origin, mine, p, count);
                    blockEnd = p + count;
                }
                if (!copyBlock.take(p, other) || !takenBlock.take(p, taken)) continue;
                const bool otherSound = protectedAndSound(other);
                const bool takenSound = protectedAndSound(taken);
                const LogSequence otherLsn = pageLogSequence(other);
                const LogSequence takenLsn = pageLogSequence(taken);
                found.proven |= otherSound && other == taken;
                found.olderOnSome |= otherSound && takenSound && otherLsn < takenLsn;
                if (!otherSound || !allowed(otherLsn) || !sameKind(taken, other)) continue;
                SharedPage shared{p, takenSound, takenLsn, otherLsn, std::nullopt};
                if (!takenSound || takenLsn < otherLsn) shared.copy = other;
                found.pages.push_back(std::move(shared));
            }
        }
        return found;
    };
    for (const FragmentIndexEntry& e : index) {
        const FragmentRecord& copy = fragments[static_cast<std::size_t>(e.recordIndex)];
        if (!copy.isVisible()) continue;
        // A fragment is a copy of this very file (an older or newer state of it) only when it
        // holds a page identical to the one taken that verifies: another database's pages, of the
        // same ids and owners and with later log sequence numbers, never are. A later state of
        // this file holds, of every page it shares with the chain, the same page or a newer one;
        // another database's fragment is older on some of them. A fragment that shares no page
        // with the chain and is older on none may hold the current state of a page or another
        // database's: its newer copy is never taken, but it leaves the page in doubt.
        FragmentCopies found = readCopies(e, copy);
        if (!found.proven && found.olderOnSome) continue;
        for (SharedPage& shared : found.pages) {
            if (!found.proven && (!shared.takenSound || !(shared.takenLsn < shared.copyLsn)))
                continue;
            LogSequence& newest = out.newest[shared.pageId];
            if (shared.takenSound && allowed(shared.takenLsn))
                newest = std::max(newest, shared.takenLsn);
            newest = std::max(newest, shared.copyLsn);
            if (!found.proven) continue;
            // The best copy so far: what the chain took, or a better one found before.
            auto better = out.better.find(shared.pageId);
            const bool bestSound = better != out.better.end() || shared.takenSound;
            const LogSequence bestLsn =
                better != out.better.end() ? pageLogSequence(better->second) : shared.takenLsn;
            if (shared.copy && (!bestSound || bestLsn < shared.copyLsn))
                out.better[shared.pageId] = *shared.copy;
        }
    }
    return out;
}

}  // namespace mdf
