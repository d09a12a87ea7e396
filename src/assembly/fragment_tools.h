#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "analysis/chain_analysis.h"
#include "analysis/fragment_pages.h"
#include "assembly/combination_list.h"

namespace mdf {

class Reporter;

// What the fragment list view (the second tab) shows: one row per visible record, each
// standing for its record whatever its caption, with its check box.
struct FragmentListView {
    std::vector<FragmentRow> rows;
    std::vector<bool> checked;

    void fill(const FragmentList& list);
    // Sorting is refused while a scan may still be adding rows.
    void ListView2ColumnClick(int column, std::int32_t& sortColumn, bool scanRunning);
    void N10Click() { checked.assign(rows.size(), true); }
    void N14Click() { checked.assign(rows.size(), false); }
    void N15Click() { checked.flip(); }
    std::vector<std::size_t> checkedRows() const;
};

// What the list tools read pages with.
struct FragmentTools {
    const FragmentList& fragments;
    PageOrigin& pages;
    Reporter& reporter;
    std::uint16_t sectorsPerCluster = 16;

    // Export the checked fragments into one file: zero pages for page-id gaps, the boundary page
    // repaired; checkDoublePageIds refuses rows that overlap the one before ("error,pageid not
    // connectted:" + start page), before any file is created.
    bool exportToOneFile(const FragmentListView& view, bool checkDoublePageIds,
                         const std::string& path);
    // Export each checked fragment into folder/<first sector>.hex.
    bool exportToFolder(const FragmentListView& view, const std::string& folder);
    // "统计勾选的碎片信息": count and total size of the checked rows.
    void N12Click(const FragmentListView& view);
    // "复制此碎片的开始扇区号到剪贴板": the selected row's start sector, for the clipboard.
    std::optional<std::string> N13Click(const FragmentListView& view,
                                        std::optional<std::size_t> selectedRow);
    // "取勾选碎片的文件名": the database file name in page 32 of each checked row that holds it.
    void N17Click(const FragmentListView& view);
    // "取更新信息": page 0's log sequence number appended to the remark of every file-start row.
    void N18Click(FragmentListView& view);
};

// "把选择的碎片加入组合": marks the checked rows' records and shows the combination again.
void N16Click(const FragmentListView& view, const FragmentList& list, AnalysisResults& results,
              CombinationList& combination);

// The filter of the fragment list: which records stay visible.
enum class FilterMode { None, ShowAll, BeginPageRange, ContainsPage };
struct FilterInput {
    FilterMode mode = FilterMode::None;
    std::string beginAtLeast = "edtbeginid";  // Edit1
    std::string beginBelow = "edtendid";      // edtendid
    std::string containsPage = "edtpgid";     // edtpgid
};
// Rewrites every record's visible field; a box that does not hold a number changes nothing and
// is reported. True when the records were rewritten (the view then needs filling again).
bool edtfilterClick(FragmentList& list, const FilterInput& input, Reporter& reporter);

// "0000001A000001100005" from bytes 40..49 of a page.
std::string logSequenceText(const std::uint8_t* page);

}  // namespace mdf
