#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scan/fragment_list.h"

namespace mdf {

// A row of a list of fragments (the fragment list, the combination): the record it stands for,
// its caption (the row number when the list was last filled), and the record's fields as the row
// shows them. The remark may differ from the record's memo (a name read later, a log sequence
// number appended); everything else is the record's.
struct FragmentRow {
    std::int32_t recordIndex = 0;
    std::int64_t caption = 0;
    std::int64_t sizeKB = 0;
    std::int32_t startPage = 0;
    std::int32_t endPage = 0;  // one past the last page id
    std::string remark;
    std::int64_t startSector = 0;
    std::int64_t endSector = 0;  // the sector just past the last page

    std::int32_t pages() const;  // size in KB / 8, rounded half to even
    bool beginsFile() const { return startPage == 0; }
};

FragmentRow fragmentRow(const FragmentList& list, std::int32_t recordIndex, std::int64_t caption);

// The columns of the lists, in order: the caption, then size in KB, start page id, end page id,
// remark, start sector, end sector.
enum Column : int {
    kCaptionColumn = 0,
    kSizeColumn = 1,
    kStartPageColumn = 2,
    kEndPageColumn = 3,
    kRemarkColumn = 4,
    kStartSectorColumn = 5,
    kEndSectorColumn = 6,
};

// Compares two rows by a column: the remark as text without regard to case, every other column
// by its number. Negative when a sorts before b.
int compareRows(const FragmentRow& a, const FragmentRow& b, int column);

// What the order of the combination's rows can be vouched for. Writing the file and the
// missing-page check need page order, which only a sort on the start page gives; the search for
// more fragments also takes the rows as they were marked, but not rows sorted otherwise or
// appended by an earlier search.
enum class CombinationOrder { AsMarked, PageOrder, Other };

// The fragments that make up the lost file (the fourth tab).
struct CombinationList {
    std::vector<FragmentRow> rows;
    CombinationOrder order = CombinationOrder::AsMarked;

    bool mayWrite() const { return order == CombinationOrder::PageOrder; }
    bool maySearch() const { return order != CombinationOrder::Other; }

    // Rebuilds the rows from the marked records, in list order; the order stays as it was said.
    void refresh(const FragmentList& list, const std::vector<std::int32_t>& marks);
    // Sorts by a column, ascending.
    void sortBy(int column);
    // Whether a row holds the page id.
    bool holdsPage(std::int32_t pageId) const {
        for (const FragmentRow& r : rows)
            if (r.startPage <= pageId && pageId < r.endPage && r.pages() > 0) return true;
        return false;
    }
};

}  // namespace mdf
