#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "analysis/candidate_ranking.h"
#include "analysis/next_fragment_chooser.h"
#include "analysis/page_map_passes.h"
#include "scan/fragment_list.h"

namespace mdf {

// The name a file is given when no page 32 names it.
inline const std::string kNoName = "c:\\noname.mdf";

class Reporter;

// What an analysis concludes about the lost file; the assembly commands read and extend it.
struct AnalysisResults {
    std::int32_t expectedPageCount = 0;          // as the file's page 0 states it
    std::string lostFileName;                    // the file's own path from page 32, or kNoName
    std::vector<std::int32_t> combinationMarks;  // one per fragment record: 1 = in the combination
    std::int32_t lastChosenFragment = 0;
    PageMap pageMap;
    // The record indices in the order their pages went into the map, the first fragment first;
    // what a later command needs to build the same map again.
    std::vector<std::int32_t> recordedFragments;
    bool firstRecordedWithPfsPassOnly = false;
    // Pages whose bytes were put together from more than one place (a page split across clusters):
    // the writer writes these bytes for these page ids instead of what a fragment holds.
    std::map<std::int32_t, std::array<std::uint8_t, 8192>> restoredPages;
    // Those of them put together by following the run list of a file the volume still holds:
    // what reading the file would give, not a choice among places.
    std::set<std::int32_t> followedFileRuns;
    // Pages another fragment holds a better copy of (newer, or intact where the chain's is not):
    // the writer writes these, read whole from that fragment.
    std::map<std::int32_t, std::array<std::uint8_t, 8192>> newerCopies;
    // The newest log sequence number among the copies of a page that verify, for the verdict.
    std::map<std::int32_t, LogSequence> newestCopies;
    // Fragments taken where fragments of other databases competed for the same pages and nothing
    // told which is this file's, and those taken only because such a fragment fitted: their
    // pages are this file's only by a guess, and the verdict says so.
    std::set<std::int32_t> guessedFragments;
    // Pages the analysis needed but could not read; the recovery goes on without them.
    std::set<std::int32_t> unreadablePages;
    // The newest log sequence number among the file head's pages: copies from later than that
    // are another file's.
    HeadLogSequence headLsn;

    void mark(std::int32_t recordIndex);
};

// The database file to analyse: a row of the file catalogue.
struct AnalysedFile {
    std::int64_t firstSector = 0;
    std::int64_t sizeKB = 0;
};

struct AnalysisContext {
    const FragmentList& fragments;
    const FragmentIndex& index;
    PageOrigin& pages;
    AnalysisResults& results;
    Reporter& reporter;
    std::uint16_t sectorsPerCluster = 16;
    // Without a chooser (automatic mode) ties go to the fragment nearest the last one chosen.
    NextFragmentChooser* chooser = nullptr;
    // Set when the person asks the work to stop: the walk ends early, as when cancelled.
    const std::atomic<bool>* stop = nullptr;

    bool stopAsked() const { return stop && stop->load(); }

    PageMapPass pass() {
        return {results.pageMap, pages, reporter, sectorsPerCluster, &results.unreadablePages};
    }
    // The pass that records a fragment taken into the map: what a guessed one says is a guess.
    PageMapPass passFor(std::int32_t recordIndex) {
        PageMapPass p = pass();
        p.guessed = results.guessedFragments.count(recordIndex) > 0;
        return p;
    }
};

enum class Fit { Continues = 1, Contradicts = 2, NoEvidence = 3 };

// Beyond the fit: how much of it rests on what guesses put in the map.
struct FitDetail {
    bool restsOnGuess = false;             // it fits only what guesses said
    Fit withoutGuesses = Fit::NoEvidence;  // the fit when guesses are left out
};

// Whether the fragment at a position of the index fits the map of the lost file; detail, when
// given, tells how much of that rests on guesses.
Fit testCandidate(AnalysisContext& ctx, std::size_t position, FitDetail* detail = nullptr);

// Whether taking the fragment at a position rests on guesses: it fits only what guesses put in the
// map, or a fragment with other content for the same pages is excluded by nothing but guesses.
bool takingRestsOnGuesses(AnalysisContext& ctx, std::size_t position);

// Works out which fragments make up the file and marks them. True when the walk went through to
// the end ("分析已正常结束,请组合前进行二次查找"); false when it ended early.
bool analyseChain(AnalysisContext& ctx, const AnalysedFile& file);

// The walk of the analysis once its map has a start: from index position pos on, accepts the
// fragments that continue the chain from page expected. True when it went through to the end.
bool walkChain(AnalysisContext& ctx, std::int64_t expected, std::size_t pos);

}  // namespace mdf
