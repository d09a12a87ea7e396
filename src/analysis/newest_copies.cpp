#include "analysis/newest_copies.h"

#include <algorithm>

#include "source/byte_order.h"

namespace mdf {
namespace {

using Page = std::array<std::uint8_t, 8192>;

bool sameKind(const Page& a, const Page& b) {
    return a[1] == b[1] && loadI32(&a[24]) == loadI32(&b[24]) && loadU16(&a[6]) == loadU16(&b[6]);
}

bool protectedAndSound(const Page& page) {
    return pageProtection(page) != PageProtection::None && verifyPage(page);
}

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
    // The first of the runs taken that may share page ids with a fragment.
    auto firstSharing = [&](const FragmentIndexEntry& e) {
        auto run = std::upper_bound(
            sorted.begin(), sorted.end(), e.beginPage,
            [](std::int32_t page, const TakenRun& r) { return page < r.startPage; });
        return run != sorted.begin() ? std::prev(run) : run;
    };
    // A fragment is a copy of this very file (an older or newer state of it) only when it holds
    // a page identical to the one taken that verifies: another database's pages, of the same ids
    // and owners and with later log sequence numbers, never are.
    auto copyOfThisFile = [&](const FragmentIndexEntry& e, const FragmentRecord& copy) {
        for (auto run = firstSharing(e); run != sorted.end() && run->startPage < e.endPage; ++run) {
            if (run->recordIndex == e.recordIndex) continue;
            const FragmentRecord& mine = fragments[static_cast<std::size_t>(run->recordIndex)];
            for (std::int32_t p = std::max(run->startPage, e.beginPage);
                 p < std::min(run->endPage, e.endPage); ++p)
                if (readFragmentPage(origin, copy.fsec, p - copy.beginPage, other) &&
                    readFragmentPage(origin, mine.fsec, p - mine.beginPage, taken) &&
                    other == taken && protectedAndSound(other))
                    return true;
        }
        return false;
    };
    // A later state of this file holds, of every page it shares with the chain, the same page or
    // a newer one; another database's fragment, of the same ids, is older on some of them.
    auto neverOlder = [&](const FragmentIndexEntry& e, const FragmentRecord& copy) {
        for (auto run = firstSharing(e); run != sorted.end() && run->startPage < e.endPage; ++run) {
            if (run->recordIndex == e.recordIndex) continue;
            const FragmentRecord& mine = fragments[static_cast<std::size_t>(run->recordIndex)];
            for (std::int32_t p = std::max(run->startPage, e.beginPage);
                 p < std::min(run->endPage, e.endPage); ++p)
                if (readFragmentPage(origin, copy.fsec, p - copy.beginPage, other) &&
                    readFragmentPage(origin, mine.fsec, p - mine.beginPage, taken) &&
                    protectedAndSound(other) && protectedAndSound(taken) &&
                    pageLogSequence(other) < pageLogSequence(taken))
                    return false;
        }
        return true;
    };
    for (const FragmentIndexEntry& e : index) {
        const FragmentRecord& copy = fragments[static_cast<std::size_t>(e.recordIndex)];
        if (!copy.isVisible()) continue;
        // A fragment that shares no page with the chain and is older on none may hold the current
        // state of a page or another database's: its newer copy is never taken, but it leaves
        // the page in doubt.
        const bool proven = copyOfThisFile(e, copy);
        if (!proven && !neverOlder(e, copy)) continue;
        for (auto run = firstSharing(e); run != sorted.end() && run->startPage < e.endPage; ++run) {
            if (run->recordIndex == e.recordIndex) continue;
            const std::int32_t from = std::max(run->startPage, e.beginPage);
            const std::int32_t to = std::min(run->endPage, e.endPage);
            const FragmentRecord& mine = fragments[static_cast<std::size_t>(run->recordIndex)];
            for (std::int32_t p = from; p < to; ++p) {
                if (!readFragmentPage(origin, copy.fsec, p - copy.beginPage, other) ||
                    !protectedAndSound(other) || !allowed(pageLogSequence(other)))
                    continue;
                if (!readFragmentPage(origin, mine.fsec, p - mine.beginPage, taken)) continue;
                const bool takenSound = protectedAndSound(taken);
                if (!sameKind(taken, other)) continue;
                const LogSequence otherLsn = pageLogSequence(other);
                // The best copy so far: what the chain took, or a better one found before.
                auto better = out.better.find(p);
                const Page& best = better != out.better.end() ? better->second : taken;
                const bool bestSound = better != out.better.end() || takenSound;
                if (!proven && (!takenSound || !(pageLogSequence(taken) < otherLsn))) continue;
                LogSequence& newest = out.newest[p];
                if (takenSound && allowed(pageLogSequence(taken)))
                    newest = std::max(newest, pageLogSequence(taken));
                newest = std::max(newest, otherLsn);
                if (!proven) continue;
                if (!bestSound || pageLogSequence(best) < otherLsn) out.better[p] = other;
            }
        }
    }
    return out;
}

}  // namespace mdf
