#include "assembly/combination_list.h"

#include <algorithm>
#include <cctype>

#include "scan/rounding.h"

namespace mdf {
namespace {

int compareText(const std::string& a, const std::string& b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const int ca = std::tolower(static_cast<unsigned char>(a[i]));
        const int cb = std::tolower(static_cast<unsigned char>(b[i]));
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

std::int64_t numberIn(const FragmentRow& row, int column) {
    switch (column) {
        case kSizeColumn:
            return row.sizeKB;
        case kStartPageColumn:
            return row.startPage;
        case kEndPageColumn:
            return row.endPage;
        case kStartSectorColumn:
            return row.startSector;
        case kEndSectorColumn:
            return row.endSector;
        default:
            return row.caption;
    }
}

}  // namespace

std::int32_t FragmentRow::pages() const {
    return static_cast<std::int32_t>(roundHalfEven(sizeKB, 8));
}

FragmentRow fragmentRow(const FragmentList& list, std::int32_t recordIndex, std::int64_t caption) {
    const FragmentRecord& r = list[static_cast<std::size_t>(recordIndex)];
    return {recordIndex, caption, r.sizeKB, r.beginPage, r.endPage, r.memo, r.fsec, r.esec};
}

int compareRows(const FragmentRow& a, const FragmentRow& b, int column) {
    if (column == kRemarkColumn) return compareText(a.remark, b.remark);
    // The numbers compare by value, which is what comparing them zero-padded to twelve digits
    // does, without the limit of twelve digits.
    const std::int64_t x = numberIn(a, column), y = numberIn(b, column);
    return x < y ? -1 : (x > y ? 1 : 0);
}

void CombinationList::refresh(const FragmentList& list, const std::vector<std::int32_t>& marks) {
    rows.clear();
    for (std::size_t i = 0; i < list.size() && i < marks.size(); ++i)
        if (marks[i] == 1)
            rows.push_back(fragmentRow(list, static_cast<std::int32_t>(i),
                                       static_cast<std::int64_t>(rows.size()) + 1));
}

void CombinationList::sortBy(int column) {
    order = column == kStartPageColumn ? CombinationOrder::PageOrder : CombinationOrder::Other;
    std::stable_sort(rows.begin(), rows.end(), [&](const FragmentRow& a, const FragmentRow& b) {
        return compareRows(a, b, column) < 0;
    });
}

}  // namespace mdf
