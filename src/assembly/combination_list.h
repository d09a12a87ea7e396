#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "scan/fragment_list.h"

namespace mdf {

// A row of a list view of fragments: its caption and six cells (size in KB, start page id, end
// page id, remark, start sector, end sector), and the record it stands for.
struct FragmentRow {
    std::int32_t recordIndex = 0;
    std::string caption;
    std::array<std::string, 6> cells;
    int image = 0;

    std::int64_t sizeKB() const;
    std::int32_t startPage() const;
    std::int32_t endPage() const;
    std::int64_t startSector() const;
    std::int32_t pages() const;  // size in KB / 8, rounded half to even
    std::string& remark() { return cells[3]; }
};

FragmentRow fragmentRow(const FragmentList& list, std::int32_t recordIndex, std::size_t rowNumber);

// Compares two rows by a column: the caption (0) and the number columns (1, 2, 3, 5, 6) by
// value, the remark (4) as text without regard to case. Negative when a sorts before b.
int compareRows(const FragmentRow& a, const FragmentRow& b, int column);

// The fragments that make up the lost file, shown on the fourth tab, with the enabled state of
// the tab's three commands. CREATE MDF and CHECK become available only by sorting on the start
// page, which puts the rows in page order.
struct CombinationList {
    std::vector<FragmentRow> rows;
    bool createEnabled = false;  // Button2
    bool checkEnabled = false;   // Button5
    bool searchEnabled = true;   // Button6

    // Rebuilds the rows from the marked records, in list order; the enabled states stay.
    void RefreshCombinationList(const FragmentList& list, const std::vector<std::int32_t>& marks);
    // Sorts by a column, ascending; sorting by "起始页面号" (2) enables the three commands, any
    // other column disables them. sortColumn is shared with the fragment list view.
    void ListView4ColumnClick(int column, std::int32_t& sortColumn);
    int ListView4Compare(const FragmentRow& a, const FragmentRow& b, int sortColumn) const {
        return compareRows(a, b, sortColumn);
    }
};

inline constexpr int kStartPageColumn = 2;

}  // namespace mdf
