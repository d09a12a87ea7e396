#include "assembly/combination_list.h"

#include <algorithm>
#include <cctype>

#include "scan/rounding.h"
#include "source/text_numbers.h"

namespace mdf {
namespace {

std::int64_t numberIn(const std::string& text) { return parseInteger(text).value_or(0); }

int compareText(const std::string& a, const std::string& b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const int ca = std::tolower(static_cast<unsigned char>(a[i]));
        const int cb = std::tolower(static_cast<unsigned char>(b[i]));
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

}  // namespace

std::int64_t FragmentRow::sizeKB() const {
    return numberIn(cells[0]);
}
std::int32_t FragmentRow::startPage() const {
    return static_cast<std::int32_t>(numberIn(cells[1]));
}
std::int32_t FragmentRow::endPage() const {
    return static_cast<std::int32_t>(numberIn(cells[2]));
}
std::int64_t FragmentRow::startSector() const {
    return numberIn(cells[4]);
}
std::int32_t FragmentRow::pages() const {
    return static_cast<std::int32_t>(roundHalfEven(sizeKB(), 8));
}

FragmentRow fragmentRow(const FragmentList& list, std::int32_t recordIndex, std::size_t rowNumber) {
    const FragmentRecord& r = list[static_cast<std::size_t>(recordIndex)];
    return {recordIndex, std::to_string(rowNumber), fragmentRowCells(r), fragmentRowImage(r)};
}

int compareRows(const FragmentRow& a, const FragmentRow& b, int column) {
    if (column == 4) return compareText(a.cells[3], b.cells[3]);
    // Every number column holds plain decimals; comparing their values is what comparing them
    // zero-padded to twelve digits does, without the limit of twelve digits.
    const std::string& x =
        column == 0 ? a.caption : a.cells[static_cast<std::size_t>(std::clamp(column, 1, 6) - 1)];
    const std::string& y =
        column == 0 ? b.caption : b.cells[static_cast<std::size_t>(std::clamp(column, 1, 6) - 1)];
    const std::int64_t vx = numberIn(x), vy = numberIn(y);
    return vx < vy ? -1 : (vx > vy ? 1 : 0);
}

void CombinationList::RefreshCombinationList(const FragmentList& list,
                                             const std::vector<std::int32_t>& marks) {
    rows.clear();
    for (std::size_t i = 0; i < list.size() && i < marks.size(); ++i)
        if (marks[i] == 1)
            rows.push_back(fragmentRow(list, static_cast<std::int32_t>(i), rows.size() + 1));
}

void CombinationList::ListView4ColumnClick(int column, std::int32_t& sortColumn) {
    sortColumn = column;
    const bool byStartPage = column == kStartPageColumn;
    createEnabled = checkEnabled = searchEnabled = byStartPage;
    std::stable_sort(rows.begin(), rows.end(), [&](const FragmentRow& a, const FragmentRow& b) {
        return compareRows(a, b, column) < 0;
    });
}

}  // namespace mdf
