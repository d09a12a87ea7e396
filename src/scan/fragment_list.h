#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mdf {

// One run of consecutive pages found on the source. Its text form is one line of eight fields,
// each followed by "|": sn|fsec|esec|sizeKB|beginPage|endPage|memo|visible|
struct FragmentRecord {
    std::int32_t sn = 0;
    std::int64_t fsec = 0;    // first sector of the first page
    std::int64_t esec = 0;    // the sector just past the last page
    std::int64_t sizeKB = 0;  // pages x 8
    std::int32_t beginPage = 0;
    std::int32_t endPage = 0;  // one past the last page id
    std::string memo = " ";
    std::string visible = "Y";

    std::string text() const;
    // The page count the assembly works with: sizeKB / 8, rounded half to even.
    std::int32_t pages() const;
    // A record hidden by the filter carries "N" in its last field, blanks allowed around it.
    bool isVisible() const;
    bool startsFile() const { return beginPage == 0; }

    // Parses a record line; on failure returns nothing and says which field is wrong.
    static std::optional<FragmentRecord> parse(std::string_view line, std::string* error = nullptr);
};

// The record a scan composes for pages pages at firstSector, starting with page id firstPage.
FragmentRecord composeFragment(std::int32_t sn, std::int32_t pages, std::int64_t firstSector,
                               std::int32_t firstPage, std::string memo);

// The text between separator n-1 (or the start) and separator n; fields count from 1.
// Empty when the record has fewer separators.
std::string_view recordField(std::string_view record, int n);

// Ordered list of every fragment found; a fragment is referred to by its 0-based position.
class FragmentList {
  public:
    std::size_t size() const { return records_.size(); }
    bool empty() const { return records_.empty(); }
    const FragmentRecord& operator[](std::size_t i) const { return records_[i]; }
    const FragmentRecord& back() const { return records_.back(); }
    auto begin() const { return records_.begin(); }
    auto end() const { return records_.end(); }

    void append(FragmentRecord record) {
        records_.push_back(std::move(record));
        ++revision_;
    }
    void removeLast() {
        records_.pop_back();
        ++revision_;
    }
    void setVisible(std::size_t i, std::string_view flag) { records_[i].visible = flag; }
    void replace(std::vector<FragmentRecord> records) {
        records_ = std::move(records);
        ++revision_;
    }
    // Changes whenever a record is added, removed or replaced (not when one is hidden).
    std::uint64_t revision() const { return revision_; }

    // First record whose first sector is fsec; -1 when there is none.
    std::int64_t findFirstSector(std::int64_t fsec) const;

  private:
    std::vector<FragmentRecord> records_;
    std::uint64_t revision_ = 0;
};

// The fragments' page ranges sorted by first page id, ties in record order.
struct FragmentIndexEntry {
    std::int32_t recordIndex = 0;
    std::int32_t beginPage = 0;
    std::int32_t endPage = 0;
};

class FragmentIndex {
  public:
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    const FragmentIndexEntry& operator[](std::size_t i) const { return entries_[i]; }
    auto begin() const { return entries_.begin(); }
    auto end() const { return entries_.end(); }

    // First position whose beginPage is at least page; size() when there is none.
    std::size_t lowerBound(std::int32_t page) const;

    friend FragmentIndex buildFragmentIndex(const FragmentList& list);

  private:
    std::vector<FragmentIndexEntry> entries_;
};

FragmentIndex buildFragmentIndex(const FragmentList& list);

// The rows a fragment list view shows: the visible records in list order. A row's caption is
// its position + 1; its record index is what it stands for.
struct FragmentView {
    std::vector<std::int32_t> recordIndices;
};

FragmentView refreshFragmentView(const FragmentList& list);

// The six cells of a row after its caption: sizeKB, beginPage, endPage, memo, fsec, esec.
std::array<std::string, 6> fragmentRowCells(const FragmentRecord& record);
// Image 1 marks a fragment that begins a database file.
inline int fragmentRowImage(const FragmentRecord& record) {
    return record.startsFile() ? 1 : 0;
}

}  // namespace mdf
