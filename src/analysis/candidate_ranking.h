#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "analysis/fragment_pages.h"
#include "report/saying.h"
#include "scan/fragment_list.h"
#include "scan/page_protection.h"

namespace mdf {

// The log sequence number a page header carries at bytes 40..49: the log file's sequence number,
// the block in it and the slot. Pages of one database compare by it in the order they were
// last changed.
struct LogSequence {
    std::uint32_t file = 0;
    std::uint32_t block = 0;
    std::uint16_t slot = 0;

    auto operator<=>(const LogSequence&) const = default;
    bool isZero() const { return file == 0 && block == 0 && slot == 0; }
    std::string text() const;  // "30:1200:4"
};

LogSequence pageLogSequence(ConstPageBytes page);

// What a fragment's own pages say about themselves: how many are intact by their own protection,
// how many fail it, and the range of their log sequence numbers.
struct FragmentEvidence {
    std::int32_t pages = 0;
    std::int32_t verified = 0;     // protected, and the protection holds
    std::int32_t failing = 0;      // protected, and the protection does not hold
    std::int32_t unprotected = 0;  // neither checksum nor torn bits: nothing to tell
    std::int32_t unreadable = 0;
    bool hasLsn = false;
    LogSequence oldest, newest;
    std::int32_t beginPage = 0;
    std::vector<LogSequence> pageLsns;  // one per page, zero where unreadable

    bool intact() const { return failing == 0 && unreadable == 0; }
    // "12/12 verified, LSN 30:200:1 .. 36:880:11"
    std::string summary() const;
};

// Reads every page of the fragment once.
FragmentEvidence examineFragment(PageOrigin& origin, const FragmentRecord& fragment);

// The newest log sequence number among the file head's intact pages: what the file we are
// rebuilding had seen when it was last written. A page from a later log file than that belongs
// to another, later copy.
struct HeadLogSequence {
    bool known = false;
    LogSequence newest;

    void take(const FragmentEvidence& head);
    bool allows(const FragmentEvidence& candidate) const;
};

// One fragment competing for a place in the chain.
struct RankedCandidate {
    FragmentEvidence evidence;
    std::int32_t endPage = 0;
    std::uint64_t distance = 0;  // sectors from the fragment chosen last
    // Another intact candidate holds a page with the same id changed later: this is (in part)
    // an older copy.
    bool olderOnSharedPage = false;
};

// Sets olderOnSharedPage by comparing, page id by page id, the log sequence numbers of every
// pair of candidates. Pages of an older copy that were not changed since are identical and
// decide nothing; a page changed since gives the copy away.
void compareSharedPages(std::vector<RankedCandidate>& candidates);

// The candidate to take among those given (indices into candidates): intact pages before
// damaged ones; then one the head's log sequence allows; then one no other copy shows to be
// older; then the one that reaches furthest (the pages they share are the same, it has more);
// then the nearest to the fragment chosen last; then the earliest.
std::size_t bestCandidate(const std::vector<RankedCandidate>& candidates,
                          const std::vector<std::size_t>& among, const HeadLogSequence& head);

// Why bestCandidate put the winner first, for the analysis memo, as what the memo says of it;
// nothing when only distance or order decided, as they always did.
std::optional<Saying> rankingReason(const RankedCandidate& winner, const RankedCandidate& other,
                                    const HeadLogSequence& head);

}  // namespace mdf
