#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "analysis/chain_analysis.h"
#include "analysis/fragment_pages.h"
#include "assembly/combination_list.h"
#include "source/output_file.h"

namespace mdf {

class Reporter;

// What the fragment list view (the second tab) shows: one row per visible record, each
// standing for its record whatever its caption, with its check box.
struct FragmentListView {
    std::vector<FragmentRow> rows;
    std::vector<bool> checked;

    void fill(const FragmentList& list);
    // Sorting is refused while a scan may still be adding rows; false then.
    bool sortBy(int column, std::int32_t& sortColumn, bool scanRunning);
    void checkAll() { checked.assign(rows.size(), true); }
    void uncheckAll() { checked.assign(rows.size(), false); }
    void invertChecks() { checked.flip(); }
    std::vector<std::size_t> checkedRows() const;
};

// What an export wrote, and the pages it could not read (exported as zeros).
struct ExportOutcome {
    bool written = false;
    std::string error;
    std::vector<std::string> files;
    std::vector<std::int32_t> unreadablePages;
};

// What the list tools read pages with, and where they may write.
struct FragmentTools {
    const FragmentList& fragments;
    PageOrigin& pages;
    Reporter& reporter;
    std::uint16_t sectorsPerCluster = 16;
    OutputGuard guard = {};

    // Export the checked fragments into one file: zero pages for page-id gaps, the boundary page
    // repaired; checkDoublePageIds refuses rows that overlap the one before ("error,pageid not
    // connectted:" + start page), before any file is created.
    ExportOutcome exportToOneFile(const FragmentListView& view, bool checkDoublePageIds,
                                  const std::string& path);
    // Export each checked fragment into folder/<first sector>.hex.
    ExportOutcome exportToFolder(const FragmentListView& view, const std::string& folder);
    // Count and total size of the checked rows, told in a message.
    void showCheckedStatistics(const FragmentListView& view);
    // The selected row's start sector as text, for the clipboard.
    std::optional<std::string> startSectorText(const FragmentListView& view,
                                               std::optional<std::size_t> selectedRow);
    // The database file name in page 32 of each checked row that holds it, told in a message each.
    void showFileNames(const FragmentListView& view);
    // Page 0's log sequence number appended to the remark of every file-start row.
    void appendLogSequenceNumbers(FragmentListView& view);
};

// Marks the checked rows' records and shows the combination again.
void addCheckedToCombination(const FragmentListView& view, const FragmentList& list,
                             AnalysisResults& results, CombinationList& combination);

// The filter of the fragment list: which records stay visible.
enum class FilterMode { None, ShowAll, BeginPageRange, ContainsPage };
struct FilterInput {
    FilterMode mode = FilterMode::None;
    std::string beginAtLeast;  // as typed: a box may hold anything
    std::string beginBelow;
    std::string containsPage;
};
// Rewrites every record's visible field; a box that does not hold a number changes nothing and
// is reported. True when the records were rewritten (the view then needs filling again).
bool applyFilter(FragmentList& list, const FilterInput& input, Reporter& reporter);

// "0000001A000001100005" from bytes 40..49 of a page.
std::string logSequenceText(const std::uint8_t* page);

}  // namespace mdf
