#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <shared_mutex>
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

// A memo as it may be stored and shown: invalid UTF-8 bytes become "?", the field separator "|"
// becomes "/", control characters blanks. A damaged name can then never make a saved scan
// unreadable.
std::string sanitizeMemo(std::string_view memo);

// The record a scan composes for pages pages at firstSector, starting with page id firstPage.
FragmentRecord composeFragment(std::int32_t sn, std::int32_t pages, std::int64_t firstSector,
                               std::int32_t firstPage, std::string memo);

// The text between separator n-1 (or the start) and separator n; fields count from 1.
// Empty when the record has fewer separators.
std::string_view recordField(std::string_view record, int n);

// Told of every change to a fragment list, on the thread that makes it (a scan's worker): what a
// window needs to show the list growing while the scan runs.
class FragmentListener {
  public:
    virtual ~FragmentListener() = default;
    virtual void recordAppended(std::size_t recordIndex, const FragmentRecord& record) = 0;
    virtual void lastRecordRemoved() = 0;
    virtual void listReplaced() = 0;
};

// Ordered list of every fragment found; a fragment is referred to by its 0-based position.
//
// One thread changes the list at a time (a scan's worker, or the session between jobs). Plain
// reads are for that thread; another thread (a window painting rows while a scan appends) reads
// through copyOf and sizeNow, which take the list's lock.
class FragmentList {
  public:
    FragmentList() = default;
    // Moving hands over the records; the lock stays with each object.
    FragmentList(FragmentList&& other) noexcept
        : records_(std::move(other.records_)), revision_(other.revision_) {}
    FragmentList& operator=(FragmentList&& other) noexcept {
        records_ = std::move(other.records_);
        ++revision_;
        return *this;
    }

    std::size_t size() const { return records_.size(); }
    bool empty() const { return records_.empty(); }
    const FragmentRecord& operator[](std::size_t i) const { return records_[i]; }
    const FragmentRecord& back() const { return records_.back(); }
    auto begin() const { return records_.begin(); }
    auto end() const { return records_.end(); }

    std::size_t sizeNow() const;
    std::optional<FragmentRecord> copyOf(std::size_t i) const;

    void append(FragmentRecord record);
    void removeLast();
    void setVisible(std::size_t i, std::string_view flag);
    void replace(std::vector<FragmentRecord> records);
    // Changes whenever a record is added, removed or replaced (not when one is hidden).
    std::uint64_t revision() const { return revision_; }

    // First record whose first sector is fsec; -1 when there is none.
    std::int64_t findFirstSector(std::int64_t fsec) const;

    void setListener(FragmentListener* listener) { listener_ = listener; }

  private:
    mutable std::shared_mutex mutex_;
    std::vector<FragmentRecord> records_;
    std::uint64_t revision_ = 0;
    FragmentListener* listener_ = nullptr;
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

// The records a fragment list view shows: the visible ones, in list order. A row's caption is
// its position + 1; its record index is what it stands for.
std::vector<std::int32_t> visibleRecords(const FragmentList& list);

}  // namespace mdf
