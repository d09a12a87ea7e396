#include "scan/fragment_list.h"

#include <fmt/core.h>

#include <algorithm>
#include <charconv>
#include <mutex>

#include "scan/rounding.h"
#include "source/text_numbers.h"

namespace mdf {
namespace {

template <typename T>
bool parseDecimal(std::string_view text, T& out) {
    if (text.empty()) return false;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && ptr == text.data() + text.size();
}

}  // namespace

std::string FragmentRecord::text() const {
    std::string out;
    out.reserve(64 + memo.size());
    for (const std::string& field :
         {std::to_string(sn), std::to_string(fsec), std::to_string(esec), std::to_string(sizeKB),
          std::to_string(beginPage), std::to_string(endPage), memo, visible}) {
        out += field;
        out += '|';
    }
    return out;
}

std::int32_t FragmentRecord::pages() const {
    return static_cast<std::int32_t>(roundHalfEven(sizeKB, 8));
}

bool FragmentRecord::isVisible() const {
    return trimBlanks(visible) != "N";
}

std::optional<FragmentRecord> FragmentRecord::parse(std::string_view line, std::string* error) {
    auto fail = [&](const std::string& why) -> std::optional<FragmentRecord> {
        if (error) *error = why;
        return std::nullopt;
    };
    if (std::count(line.begin(), line.end(), '|') != 8 || line.empty() || line.back() != '|')
        return fail("a record has eight fields, each ending with |");
    FragmentRecord r;
    static constexpr const char* kNames[] = {"sn",     "fsec",      "esec",
                                             "sizeKB", "beginPage", "endPage"};
    bool ok[] = {parseDecimal(recordField(line, 1), r.sn),
                 parseDecimal(recordField(line, 2), r.fsec),
                 parseDecimal(recordField(line, 3), r.esec),
                 parseDecimal(recordField(line, 4), r.sizeKB),
                 parseDecimal(recordField(line, 5), r.beginPage),
                 parseDecimal(recordField(line, 6), r.endPage)};
    for (int i = 0; i < 6; ++i)
        if (!ok[i]) return fail(fmt::format("field {} is not a number", kNames[i]));
    r.memo = sanitizeMemo(recordField(line, 7));
    r.visible = std::string(recordField(line, 8));
    // The fields of a record the scan wrote always agree; ones that do not come from a damaged
    // or hand-made file, and a fragment of no pages would be taken into every gap for ever.
    if (r.sizeKB <= 0 || r.sizeKB % 8 != 0) return fail("the size is not a whole number of pages");
    const std::int64_t pages = r.sizeKB / 8;
    if (r.fsec < 0 || r.beginPage < 0) return fail("a negative sector or page id");
    if (r.esec != r.fsec + 16 * pages || std::int64_t{r.endPage} != r.beginPage + pages)
        return fail("its sectors, size and page ids disagree");
    return r;
}

std::string sanitizeMemo(std::string_view memo) {
    std::string out;
    out.reserve(memo.size());
    std::size_t i = 0;
    while (i < memo.size()) {
        const auto c = static_cast<unsigned char>(memo[i]);
        std::size_t length = c < 0x80         ? 1
                             : (c >> 5) == 6  ? 2
                             : (c >> 4) == 14 ? 3
                             : (c >> 3) == 30 ? 4
                                              : 0;
        bool valid = length > 0 && i + length <= memo.size();
        for (std::size_t k = 1; valid && k < length; ++k)
            valid = (static_cast<unsigned char>(memo[i + k]) & 0xC0) == 0x80;
        // Overlong forms and surrogates are not text either.
        if (valid && length == 2) valid = c >= 0xC2;
        if (valid && length == 3) {
            const auto c1 = static_cast<unsigned char>(memo[i + 1]);
            valid = !(c == 0xE0 && c1 < 0xA0) && !(c == 0xED && c1 >= 0xA0);
        }
        if (valid && length == 4) {
            const auto c1 = static_cast<unsigned char>(memo[i + 1]);
            valid = c <= 0xF4 && !(c == 0xF0 && c1 < 0x90) && !(c == 0xF4 && c1 >= 0x90);
        }
        if (!valid) {
            out += '?';
            ++i;
            continue;
        }
        if (length == 1 && (c == '|' || c < 0x20)) {
            out += c == '|' ? '/' : ' ';
        } else {
            out.append(memo.substr(i, length));
        }
        i += length;
    }
    return out;
}

FragmentRecord composeFragment(std::int32_t sn, std::int32_t pages, std::int64_t firstSector,
                               std::int32_t firstPage, std::string memo) {
    FragmentRecord r;
    r.sn = sn;
    r.fsec = firstSector;
    r.esec = firstSector + static_cast<std::int64_t>(pages) * 16;
    r.sizeKB = static_cast<std::int64_t>(pages) * 8;
    r.beginPage = firstPage;
    r.endPage = static_cast<std::int32_t>(static_cast<std::uint32_t>(firstPage) +
                                          static_cast<std::uint32_t>(pages));
    r.memo = sanitizeMemo(memo);
    return r;
}

std::string_view recordField(std::string_view record, int n) {
    std::size_t start = 0;
    for (int i = 1; i < n; ++i) {
        std::size_t bar = record.find('|', start);
        if (bar == std::string_view::npos) return {};
        start = bar + 1;
    }
    std::size_t end = record.find('|', start);
    if (end == std::string_view::npos) return {};
    return record.substr(start, end - start);
}

std::size_t FragmentList::sizeNow() const {
    std::shared_lock lock(mutex_);
    return records_.size();
}

std::optional<FragmentRecord> FragmentList::copyOf(std::size_t i) const {
    std::shared_lock lock(mutex_);
    if (i >= records_.size()) return std::nullopt;
    return records_[i];
}

void FragmentList::append(FragmentRecord record) {
    {
        std::unique_lock lock(mutex_);
        records_.push_back(std::move(record));
        ++revision_;
    }
    if (listener_) listener_->recordAppended(records_.size() - 1, records_.back());
}

void FragmentList::removeLast() {
    {
        std::unique_lock lock(mutex_);
        records_.pop_back();
        ++revision_;
    }
    if (listener_) listener_->lastRecordRemoved();
}

void FragmentList::setVisible(std::size_t i, std::string_view flag) {
    std::unique_lock lock(mutex_);
    records_[i].visible = flag;
}

void FragmentList::replace(std::vector<FragmentRecord> records) {
    {
        std::unique_lock lock(mutex_);
        records_ = std::move(records);
        ++revision_;
    }
    if (listener_) listener_->listReplaced();
}

std::int64_t FragmentList::findFirstSector(std::int64_t fsec) const {
    for (std::size_t i = 0; i < records_.size(); ++i)
        if (records_[i].fsec == fsec) return static_cast<std::int64_t>(i);
    return -1;
}

std::size_t FragmentIndex::lowerBound(std::int32_t page) const {
    auto it = std::lower_bound(
        entries_.begin(), entries_.end(), page,
        [](const FragmentIndexEntry& e, std::int32_t p) { return e.beginPage < p; });
    return static_cast<std::size_t>(it - entries_.begin());
}

FragmentIndex buildFragmentIndex(const FragmentList& list) {
    FragmentIndex index;
    index.entries_.reserve(list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        // A record without pages (a damaged scan-info line, or the stand-in for a lost file
        // header page) can fill no gap and continue no chain.
        if (list[i].pages() <= 0) continue;
        index.entries_.push_back(
            {static_cast<std::int32_t>(i), list[i].beginPage, list[i].endPage});
    }
    // Records are appended in record order, so a stable sort keeps ties in record order.
    std::stable_sort(index.entries_.begin(), index.entries_.end(),
                     [](const FragmentIndexEntry& a, const FragmentIndexEntry& b) {
                         return a.beginPage < b.beginPage;
                     });
    return index;
}

std::vector<std::int32_t> visibleRecords(const FragmentList& list) {
    std::vector<std::int32_t> out;
    for (std::size_t i = 0; i < list.size(); ++i)
        if (list[i].isVisible()) out.push_back(static_cast<std::int32_t>(i));
    return out;
}

}  // namespace mdf
