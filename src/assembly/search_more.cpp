#include "assembly/search_more.h"

#include <array>
#include <optional>

#include "analysis/candidate_choice.h"
#include "assembly/boundary_repair.h"
#include "report/progress_gauge.h"
#include "report/reporter.h"
#include "scan/file_header_readers.h"
#include "scan/page_protection.h"
#include "scan/rounding.h"

namespace mdf {
namespace {

constexpr std::int32_t kPfsInterval = 8088;

// How many PFS ids the check looks at: Round(pages / 8088), plus one when there is a remainder
// (13000 pages: 3).
std::int64_t pfsPageCount(std::int64_t pages) {
    return roundHalfEven(pages, kPfsInterval) + (pages % kPfsInterval > 0 ? 1 : 0);
}

// The index positions whose fragment lies wholly inside the gap [from, to), in index order, and
// Whether a page of our file that its PFS marks free may as well be another database's: a file
// header other than ours states a size that reaches it, or ours is lost (nothing then tells
// whose a page is). A header that cannot be read counts as one that reaches it.
bool anotherDatabaseMayHold(AssemblyContext& ctx, std::int32_t pageId) {
    const auto& recorded = ctx.results.recordedFragments;
    if (recorded.empty() || recorded.front() < 0 ||
        static_cast<std::size_t>(recorded.front()) >= ctx.fragments.size())
        return true;
    const auto ours = static_cast<std::size_t>(recorded.front());
    if (ctx.fragments[ours].pages() <= 0) return true;  // the stand-in for a lost header
    std::array<std::uint8_t, 8192> page0{};
    for (std::size_t i = 0; i < ctx.fragments.size(); ++i) {
        const FragmentRecord& head = ctx.fragments[i];
        if (i == ours || !head.isVisible() || head.beginPage != 0 || head.pages() <= 0) continue;
        if (!readFragmentPage(ctx.pages, head.fsec, 0, page0)) return true;
        restoreTornBits(page0);
        const PageCountResult count = readFilePageCount(page0);
        if (count.result != 0 || count.pages > pageId) return true;
    }
    return false;
}

struct GapChoice {
    std::size_t position = 0;
    Fit fit = Fit::NoEvidence;
    bool guessed = false;  // see AnalysisResults::guessedFragments
};

// which of them to take: the first that fits, else the first that gives no evidence. Among
// those without evidence, one with a page the file's own PFS pages call allocated goes before
// one whose pages it marks all free. An all-free one is still taken when nothing else fills the
// gap and no other database could hold it: a free page of the file keeps its old content.
// One that fits only what guesses put in the map is a guess; so is one without evidence where
// another database may hold the same page ids.
std::optional<GapChoice> chooseForGap(AssemblyContext& ctx, std::int32_t from, std::int32_t to) {
    AnalysisContext analysis = ctx.analysis();
    std::optional<std::size_t> firstWithoutEvidence;
    std::optional<std::size_t> firstAllFree;
    for (std::size_t k = ctx.index.lowerBound(from);
         k < ctx.index.size() && ctx.index[k].beginPage <= to; ++k) {
        if (ctx.index[k].endPage > to) continue;
        const Fit fit = testCandidate(analysis, k);
        if (fit == Fit::Continues) return GapChoice{k, fit, takingRestsOnGuesses(analysis, k)};
        if (fit != Fit::NoEvidence || firstWithoutEvidence) continue;
        if (!fileMarksAllFree(ctx.results, ctx.index[k].beginPage, ctx.index[k].endPage))
            firstWithoutEvidence = k;
        else if (!firstAllFree)
            firstAllFree = k;
    }
    if (firstWithoutEvidence) {
        const std::int32_t begin = ctx.index[*firstWithoutEvidence].beginPage;
        return GapChoice{*firstWithoutEvidence, Fit::NoEvidence,
                         anotherDatabaseMayHold(ctx, begin)};
    }
    if (firstAllFree && !anotherDatabaseMayHold(ctx, ctx.index[*firstAllFree].beginPage))
        return GapChoice{*firstAllFree, Fit::NoEvidence, false};
    return std::nullopt;
}

// Rows the search appended stand after the others: the list is no longer in page order.
void markOutOfOrder(CombinationList& c) {
    c.order = CombinationOrder::Other;
}

// One pass over the gaps; nothing when the search has to end (an overlap, a failed recording, a
// stop asked for).
std::optional<int> searchPass(AssemblyContext& ctx, SearchOutcome& outcome) {
    auto& rows = ctx.combination.rows;
    int found = 0;
    ProgressGauge gauge(ctx.reporter);
    for (std::size_t j = 0; j < rows.size(); ++j) {
        // The window stays alive through a long search (it runs on the window's thread).
        if (gauge.show(static_cast<std::int64_t>(j), static_cast<std::int64_t>(rows.size())))
            ctx.reporter.processEvents();
        if (ctx.stopAsked()) {
            outcome.stopped = true;
            ctx.reporter.say(Memo::Assembly, said(Saying::Stopped));
            return std::nullopt;
        }
        const std::int32_t from = rows[j].endPage;
        const std::int32_t to =
            j + 1 < rows.size() ? rows[j + 1].startPage : ctx.results.expectedPageCount;
        if (from > to) {
            ctx.reporter.showMessage("error", "message");
            return std::nullopt;
        }
        if (from == to) continue;
        auto choice = chooseForGap(ctx, from, to);
        if (!choice) continue;
        const std::int32_t r = ctx.index[choice->position].recordIndex;
        ++found;
        ctx.reporter.say(Memo::Assembly,
                         said(choice->fit == Fit::Continues ? Saying::FoundConfirmedFragment
                                                            : Saying::FoundUnconfirmedFragment,
                              r + 1));
        (choice->fit == Fit::Continues ? outcome.confirmed : outcome.unconfirmed).push_back(r);
        ctx.results.mark(r);
        ctx.results.recordedFragments.push_back(r);
        if (choice->guessed) ctx.results.guessedFragments.insert(r);
        const FragmentRecord& record = ctx.fragments[static_cast<std::size_t>(r)];
        PageMapPass pass = ctx.analysis().passFor(r);
        if (recordFragmentPages(pass, record.pages(), ctx.index[choice->position].beginPage,
                                record.fsec) != PassOutcome::Done) {
            ctx.reporter.say(Memo::Assembly, said(Saying::SearchPageInfoError, r + 1));
            return std::nullopt;
        }
        ctx.reporter.processEvents();
    }
    gauge.show(1, 1);
    return found;
}

// Page 32, from the row that holds it, repaired at the boundary when it ends its row.
bool readNameFromRows(AssemblyContext& ctx) {
    const auto& rows = ctx.combination.rows;
    std::size_t holder = rows.size();
    for (std::size_t j = 1; j < rows.size(); ++j) {
        if (rows[j].startPage >= 33) break;
        if (rows[j].endPage > 32) {
            holder = j;
            break;
        }
    }
    if (holder == rows.size()) return true;
    const FragmentRow& row = rows[holder];
    std::array<std::uint8_t, 8192> page{};
    if (!ctx.pages.readFragmentSectors(row.startSector, (32 - row.startPage) * 16, 16,
                                       page.data())) {
        ctx.reporter.showMessage("read disk error", "message");
        return false;
    }
    if (ctx.sectorsPerCluster < 16 && row.endPage == 33 && holder + 1 < rows.size() &&
        rows[holder + 1].startPage == 33) {
        std::array<std::uint8_t, kLeadInBytes> leadIn{};
        if (!ctx.pages.readFragmentSectors(rows[holder + 1].startSector, -15, 15, leadIn.data())) {
            ctx.reporter.showMessage("read disk error", "message");
            return false;
        }
        repairBoundaryPage(page, leadIn, ctx.sectorsPerCluster);
    }
    restoreTornBits(page);
    // A page 32 taken by a guess may name another database.
    if (ctx.results.guessedFragments.count(row.recordIndex)) return true;
    FileNameResult name = readFileName(page);
    if (name.result == 0)
        ctx.results.lostFileName = name.name;
    else
        ctx.reporter.showMessage("get fileinfo2 error", "message");
    return true;
}

}  // namespace

SearchOutcome searchMore(AssemblyContext& ctx) {
    ctx.reporter.clearLog(Memo::Assembly);
    SearchOutcome outcome;
    auto& rows = ctx.combination.rows;
    while (true) {
        ctx.sortByStartPage();
        markOutOfOrder(ctx.combination);
        if (rows.empty() || rows[0].startPage != 0) return outcome;
        auto found = searchPass(ctx, outcome);
        if (outcome.stopped) {
            // Stopped, the list is as sorted as before the pass: its commands come back.
            ctx.sortByStartPage();
            return outcome;
        }
        if (!found) return outcome;
        ctx.reporter.say(Memo::Assembly, said(Saying::SearchMoreFound, *found));
        if (*found == 0) break;
        ctx.combination.refresh(ctx.fragments, ctx.results.combinationMarks);
    }
    ctx.sortByStartPage();
    if (rows[0].sizeKB > 256 || readNameFromRows(ctx)) outcome.completed = true;
    if (rows[0].sizeKB <= 256 && outcome.completed)
        rows[0].remark = ctx.results.lostFileName + ":" +
                         std::to_string(std::int64_t{ctx.results.expectedPageCount} * 8) + "KB";
    return outcome;
}

MissingPageReport checkMissingPages(AssemblyContext& ctx) {
    ctx.reporter.clearLog(Memo::Assembly);
    MissingPageReport report;
    const auto& rows = ctx.combination.rows;
    if (rows.empty() || rows[0].startPage != 0) return report;
    // A damaged page 0 may state billions of pages: none lies past what the source can hold.
    std::int64_t expected = ctx.results.expectedPageCount;
    if (ctx.sourceSectors > 0)
        expected = std::min(expected, std::max<std::int64_t>(ctx.sourceSectors / kSectorsPerPage,
                                                             rows.back().endPage));
    const std::int64_t pfsPages = pfsPageCount(expected);
    ProgressGauge gauge(ctx.reporter);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const std::int64_t from = rows[i].endPage;
        const std::int64_t to = i + 1 < rows.size() ? rows[i + 1].startPage : expected;
        gauge.show(from, expected);
        if (to < from) {
            ctx.reporter.showMessage("error", "message");
            return report;
        }
        if (to == from) continue;
        for (std::int64_t k = 0; k < pfsPages; ++k) {
            const std::int64_t id = k == 0 ? 1 : k * kPfsInterval;
            if (from <= id && id < to) {
                report.pfsPages.push_back(static_cast<std::int32_t>(id));
                ctx.reporter.logLine(Memo::Assembly, "lack of PFS page " + std::to_string(id));
            }
        }
        for (std::int64_t p = from; p < to; ++p) {
            // Nothing was ever recorded in a part of the map never written to: no page there is
            // known to be allocated, so a damaged page count cannot keep the check busy.
            if (!ctx.results.pageMap.written(p)) {
                p = (p / PageMap::kChunkEntries + 1) * PageMap::kChunkEntries - 1;
                continue;
            }
            // A page the split-page search put together is there.
            if (ctx.results.pageMap.get(p).allocState == 1 &&
                !ctx.results.restoredPages.count(static_cast<std::int32_t>(p))) {
                report.pages.push_back(static_cast<std::int32_t>(p));
                ctx.reporter.logLine(Memo::Assembly, "lack of page " + std::to_string(p));
            }
        }
    }
    gauge.show(expected, expected);
    ctx.reporter.logLine(Memo::Assembly, "check done");
    report.completed = true;
    return report;
}

}  // namespace mdf
