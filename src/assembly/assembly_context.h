#pragma once

#include <atomic>
#include <cstdint>

#include "analysis/chain_analysis.h"
#include "analysis/fragment_pages.h"
#include "assembly/combination_list.h"
#include "source/output_file.h"

namespace mdf {

class Reporter;

// What the commands of the fourth tab work on.
struct AssemblyContext {
    const FragmentList& fragments;
    const FragmentIndex& index;
    PageOrigin& pages;
    AnalysisResults& results;
    CombinationList& combination;
    Reporter& reporter;
    std::uint16_t sectorsPerCluster = 16;
    // Where outputs may go, and how large the source is (no output is larger than its source).
    OutputGuard guard = {};
    std::int64_t sourceSectors = 0;
    // Set when the person asks the work to stop: search more and the writer end where they are,
    // and the writer leaves no file.
    const std::atomic<bool>* stop = nullptr;

    bool stopAsked() const { return stop && stop->load(); }
    AnalysisContext analysis() {
        return {fragments, index, pages, results, reporter, sectorsPerCluster, nullptr, stop};
    }
    void sortByStartPage() { combination.sortBy(kStartPageColumn); }
};

}  // namespace mdf
