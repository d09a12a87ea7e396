#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "analysis/chain_analysis.h"
#include "analysis/fragment_pages.h"
#include "assembly/combination_list.h"
#include "source/output_file.h"

namespace mdf {

class Reporter;

// The visible records of the list as rows, in list order, numbered from 1.
std::vector<FragmentRow> visibleRows(const FragmentList& list);

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

    // The tools work on the rows the user chose, in the list's order.
    //
    // Export the chosen fragments into one file: zero pages for page-id gaps, the boundary page
    // repaired; checkDoublePageIds refuses rows that overlap the one before ("error,pageid not
    // connectted:" + start page), before any file is created.
    ExportOutcome exportToOneFile(std::span<const FragmentRow> chosen, bool checkDoublePageIds,
                                  const std::string& path);
    // Export each chosen fragment into folder/<first sector>.hex.
    ExportOutcome exportToFolder(std::span<const FragmentRow> chosen, const std::string& folder);
    // Count and total size of the chosen rows, told in a message.
    void showStatistics(std::span<const FragmentRow> chosen);
    // The database file name in page 32 of each chosen row that holds it, told in a message each.
    void showFileNames(std::span<const FragmentRow> chosen);
    // Page 0's log sequence number appended to the remark of every file-start row.
    void appendLogSequenceNumbers(std::span<FragmentRow> rows);
};

// Marks the chosen rows' records and shows the combination again.
void addToCombination(std::span<const FragmentRow> chosen, const FragmentList& list,
                      AnalysisResults& results, CombinationList& combination);

// The filter of the fragment list: which records stay visible.
enum class FilterMode { None, ShowAll, BeginPageRange, ContainsPage };
struct FilterInput {
    FilterMode mode = FilterMode::None;
    std::int64_t beginAtLeast = 0;  // a begin page range: beginAtLeast <= begin < beginBelow
    std::int64_t beginBelow = 0;
    std::int64_t containsPage = 0;
};
// Rewrites every record's visible field. True when the records were rewritten (the view then
// needs filling again).
bool applyFilter(FragmentList& list, const FilterInput& input);

// "0000001A000001100005" from bytes 40..49 of a page.
std::string logSequenceText(const std::uint8_t* page);

}  // namespace mdf
