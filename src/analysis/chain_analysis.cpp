#include "analysis/chain_analysis.h"

#include <array>
#include <cstdlib>

#include "analysis/candidate_choice.h"
#include "analysis/sole_candidates.h"
#include "report/progress_gauge.h"
#include "report/reporter.h"
#include "scan/file_header_readers.h"

namespace mdf {
namespace {

constexpr std::size_t kMaxGroup = 13;

const FragmentRecord& recordAt(AnalysisContext& ctx, std::size_t position) {
    return ctx.fragments[static_cast<std::size_t>(ctx.index[position].recordIndex)];
}

// Page index of the file's first fragment with its torn bits put back; false after telling.
bool readRepairedPage(AnalysisContext& ctx, const AnalysedFile& file, std::int32_t index,
                      PageBytes page) {
    if (!readFragmentPage(ctx.pages, file.firstSector, index, page)) {
        ctx.reporter.showMessage("read disk error", "message");
        ctx.reporter.logLine(Memo::Analysis,
                             readErrorLine(file.firstSector + std::int64_t{index} * 16, index));
        return false;
    }
    restoreTornBits(page);
    return true;
}

// Reads the file's size from page 0 and its name from page 32 of the first fragment.
bool readFileFacts(AnalysisContext& ctx, const AnalysedFile& file, std::int64_t firstPages) {
    std::array<std::uint8_t, 8192> page{};
    if (!readRepairedPage(ctx, file, 0, page)) return false;
    PageCountResult count = readFilePageCount(page);
    // A count of no pages (or fewer) is a damaged record, not a file.
    if (count.result != 0 || count.pages <= 0) {
        ctx.reporter.showMessage("get fileinfo1 error", "message");
        return false;
    }
    ctx.results.expectedPageCount = count.pages;
    if (firstPages <= 32) {
        ctx.results.lostFileName = kNoName;
        return true;
    }
    // Without page 32 the file has no name, but its pages are still worth recovering.
    if (!readFragmentPage(ctx.pages, file.firstSector, 32, page)) {
        ctx.results.unreadablePages.insert(32);
        ctx.reporter.logLine(Memo::Analysis, "read disk error,page 32 (unreadable)");
        ctx.results.lostFileName = kNoName;
        return true;
    }
    restoreTornBits(page);
    FileNameResult name = readFileName(page);
    // A page 32 whose later sectors went to a cluster of another file still names the file in
    // its first cluster; a file whose page 32 names nothing is still worth its pages.
    if (name.result != 0 && ctx.sectorsPerCluster < 16)
        name = readFileNameFromFirstBytes(page, std::size_t{ctx.sectorsPerCluster} * 512);
    if (name.result != 0) {
        ctx.reporter.showMessage("get fileinfo2 error", "message");
        ctx.results.lostFileName = kNoName;
        return true;
    }
    ctx.results.lostFileName = name.name;
    return true;
}

std::vector<std::size_t> candidateGroup(AnalysisContext& ctx, std::size_t pos) {
    std::vector<std::size_t> group{pos};
    std::int32_t groupEnd = ctx.index[pos].endPage;
    for (std::size_t q = pos + 1; q < ctx.index.size() && group.size() < kMaxGroup; ++q) {
        if (ctx.index[q].beginPage >= groupEnd) break;
        if (testCandidate(ctx, q) != Fit::Continues) continue;
        group.push_back(q);
        groupEnd = std::max(groupEnd, ctx.index[q].endPage);
    }
    return group;
}

// Among the leading members that begin at the same page: the one whose pages hold up best
// (candidate_ranking.h), the nearest to the last fragment chosen when they tie.
MemberChoice nearestMember(AnalysisContext& ctx, const std::vector<std::size_t>& group) {
    std::size_t members = 0;
    while (members < group.size() &&
           ctx.index[group[members]].beginPage == ctx.index[group[0]].beginPage)
        ++members;
    if (members == 1) return {group[0], false};
    return rankMembers(ctx, group, members, ctx.results.lastChosenFragment);
}

}  // namespace

void AnalysisResults::mark(std::int32_t recordIndex) {
    if (recordIndex < 0) return;
    if (static_cast<std::size_t>(recordIndex) >= combinationMarks.size())
        combinationMarks.resize(static_cast<std::size_t>(recordIndex) + 1, 0);
    combinationMarks[static_cast<std::size_t>(recordIndex)] = 1;
}

Fit testCandidate(AnalysisContext& ctx, std::size_t position, FitDetail* detail) {
    const FragmentRecord& r = recordAt(ctx, position);
    const std::int64_t pages = r.pages();
    if (std::int64_t{r.beginPage} + pages > ctx.results.expectedPageCount) {
        if (detail) *detail = {false, Fit::Contradicts};
        return Fit::Contradicts;
    }
    PageMapPass pass = ctx.pass();
    MatchCounts counts =
        matchFragmentPages(pass, static_cast<std::int32_t>(pages), r.beginPage, r.fsec);
    if (detail) {
        detail->restsOnGuess = counts.mismatches == 0 && counts.restsOnGuess();
        detail->withoutGuesses = counts.firmMismatches > 0 ? Fit::Contradicts
                                 : counts.firmMatches > 0  ? Fit::Continues
                                                           : Fit::NoEvidence;
    }
    if (counts.mismatches > 0) return Fit::Contradicts;
    return counts.matches > 0 ? Fit::Continues : Fit::NoEvidence;
}

bool takingRestsOnGuesses(AnalysisContext& ctx, std::size_t position) {
    // Only a guessed fragment marks the map: before the first, nothing rests on one, and the walk
    // of a single database reads no fragment twice for this.
    if (ctx.results.guessedFragments.empty()) return false;
    FitDetail own;
    testCandidate(ctx, position, &own);
    if (own.restsOnGuess) return true;
    const std::int32_t begin = ctx.index[position].beginPage;
    for (std::size_t q = ctx.index.lowerBound(begin);
         q < ctx.index.size() && ctx.index[q].beginPage == begin; ++q) {
        FitDetail other;
        if (q == position || testCandidate(ctx, q, &other) != Fit::Contradicts ||
            other.withoutGuesses == Fit::Contradicts)
            continue;
        if (differOnSharedPages(ctx.pages, recordAt(ctx, q), recordAt(ctx, position))) return true;
    }
    return false;
}

namespace {

// The map as the file's head alone tells it: the head's pages recorded, the head marked; expected
// becomes the page the walk goes on from. False when recording failed (told).
bool startFromHead(AnalysisContext& ctx, const AnalysedFile& file, std::int64_t m,
                   std::int64_t& expected) {
    AnalysisResults& results = ctx.results;
    resetPageMap(results.pageMap, results.expectedPageCount);
    PageMapPass pass = ctx.pass();
    results.firstRecordedWithPfsPassOnly = m <= 2;
    const std::int32_t firstPages = static_cast<std::int32_t>(std::min<std::int64_t>(m, INT32_MAX));
    PassOutcome first = m > 2 ? recordFragmentPages(pass, firstPages, 0, file.firstSector)
                              : recordPfsPages(pass, firstPages, 0, file.firstSector);
    if (first != PassOutcome::Done) {
        ctx.reporter.showMessage("get page info error", "message");
        return false;
    }

    results.combinationMarks.assign(ctx.fragments.size(), 0);
    results.recordedFragments.clear();
    results.guessedFragments.clear();
    const std::int64_t firstRecord = ctx.fragments.findFirstSector(file.firstSector);
    if (firstRecord >= 0) {
        results.mark(static_cast<std::int32_t>(firstRecord));
        results.lastChosenFragment = static_cast<std::int32_t>(firstRecord);
        results.recordedFragments.push_back(static_cast<std::int32_t>(firstRecord));
    }
    expected = m;
    return m != 1 || continueLoneFileHeader(ctx, expected);
}

std::size_t walkStart(AnalysisContext& ctx, std::int64_t m) {
    const std::size_t pos =
        ctx.index.lowerBound(static_cast<std::int32_t>(std::min<std::int64_t>(m, INT32_MAX)));
    return pos == ctx.index.size() ? 0 : pos;
}

}  // namespace

bool analyseChain(AnalysisContext& ctx, const AnalysedFile& file) {
    AnalysisResults& results = ctx.results;
    const std::int64_t m = file.sizeKB / 8;
    results.unreadablePages.clear();
    results.restoredPages.clear();
    results.followedFileRuns.clear();
    if (!readFileFacts(ctx, file, m)) return false;
    noteHeadLogSequence(ctx, file.firstSector,
                        static_cast<std::int32_t>(std::min<std::int64_t>(m, INT32_MAX)));

    std::int64_t expected = m;
    if (!startFromHead(ctx, file, m, expected)) return false;
    const bool walked = walkChain(ctx, expected, walkStart(ctx, m));
    if (!walked || ctx.chooser || results.guessedFragments.empty()) return walked;
    // A walk in page order met fragments of other databases that nothing told apart before the
    // pages that would: take first what the file's own evidence leaves to one fragment only.
    ctx.reporter.say(Memo::Analysis, said(Saying::WalkAgainFromEvidence));
    if (!startFromHead(ctx, file, m, expected)) return false;
    if (!takeSoleCandidates(ctx, static_cast<std::int32_t>(std::min<std::int64_t>(m, INT32_MAX))))
        return false;
    return walkChain(ctx, expected, walkStart(ctx, m));
}

bool walkChain(AnalysisContext& ctx, std::int64_t expected, std::size_t pos) {
    AnalysisResults& results = ctx.results;
    ProgressGauge gauge(ctx.reporter);
    while (pos < ctx.index.size()) {
        gauge.show(static_cast<std::int64_t>(pos), static_cast<std::int64_t>(ctx.index.size()));
        if (ctx.chooser) ctx.reporter.processEvents();
        if (ctx.stopAsked()) {
            ctx.reporter.say(Memo::Analysis, said(Saying::Stopped));
            return false;
        }
        if (ctx.index[pos].beginPage < expected || testCandidate(ctx, pos) != Fit::Continues) {
            ++pos;
            continue;
        }
        std::vector<std::size_t> group = candidateGroup(ctx, pos);
        std::size_t chosen = group[0];
        bool guessed = false;
        if (group.size() > 1) {
            if (!ctx.chooser) {
                const MemberChoice choice = nearestMember(ctx, group);
                chosen = choice.position;
                guessed = choice.guessed;
            } else {
                auto pick = ctx.chooser->chooseNextFragment(group, results.lastChosenFragment);
                if (!pick) {
                    ctx.reporter.logLine(Memo::Analysis, "user canceled");
                    return false;
                }
                chosen = group[*pick];
            }
        }
        const std::int32_t r = ctx.index[chosen].recordIndex;
        if (static_cast<std::size_t>(r) < results.combinationMarks.size() &&
            results.combinationMarks[static_cast<std::size_t>(r)] == 1) {
            // Taken before the walk (takeSoleCandidates): its pages are in the map already.
            results.lastChosenFragment = r;
            expected = ctx.index[chosen].endPage;
            pos = chosen + 1;
            continue;
        }
        if (guessed || takingRestsOnGuesses(ctx, chosen)) results.guessedFragments.insert(r);
        ctx.reporter.say(Memo::Analysis, said(Saying::FoundFragment, r + 1));
        results.lastChosenFragment = r;
        results.mark(r);
        const FragmentRecord& record = ctx.fragments[static_cast<std::size_t>(r)];
        results.recordedFragments.push_back(r);
        PageMapPass pass = ctx.passFor(r);
        if (recordFragmentPages(pass, record.pages(), record.beginPage, record.fsec) !=
            PassOutcome::Done) {
            ctx.reporter.say(Memo::Analysis, said(Saying::PageInfoError, r + 1));
            return false;
        }
        expected = ctx.index[chosen].endPage;
        pos = chosen + 1;
    }
    gauge.show(1, 1);
    ctx.reporter.say(Memo::Analysis, said(Saying::AnalysisEnded));
    return true;
}

}  // namespace mdf
