#include "analysis/fragment_page_cache.h"

#include <algorithm>
#include <cstring>

namespace mdf {
namespace {

constexpr std::size_t kPage = 8192;

}  // namespace

std::int32_t FragmentPageCache::loadedPages(std::int64_t fsec) const {
    auto it = entries_.find(fsec);
    return it == entries_.end() ? 0 : it->second.pages();
}

bool FragmentPageCache::copyPage(std::int64_t fsec, std::int32_t index, PageBytes out) {
    auto it = entries_.find(fsec);
    if (it == entries_.end() || index < 0 || index >= it->second.pages()) return false;
    Entry& e = it->second;
    lru_.splice(lru_.begin(), lru_, e.lru);
    auto whole = std::lower_bound(e.wholeIndex.begin(), e.wholeIndex.end(), index);
    if (whole != e.wholeIndex.end() && *whole == index) {
        const auto slot = static_cast<std::size_t>(whole - e.wholeIndex.begin());
        std::memcpy(out.data(), &e.whole[slot * kPage], kPage);
        return true;
    }
    std::memcpy(out.data(), &e.heads[static_cast<std::size_t>(index) * kHeadBytes], kHeadBytes);
    std::memset(out.data() + kHeadBytes, 0, kPage - kHeadBytes);
    return true;
}

void FragmentPageCache::drop(std::unordered_map<std::int64_t, Entry>::iterator it) {
    bytes_ -= it->second.bytes;
    lru_.erase(it->second.lru);
    entries_.erase(it);
}

bool FragmentPageCache::makeRoom(std::size_t bytes, std::int64_t keep, bool mayEvict) {
    if (bytes > budget_) return false;
    while (bytes_ + bytes > budget_) {
        if (!mayEvict || lru_.empty()) return false;
        const std::int64_t victim = lru_.back();
        if (victim == keep) {
            // The fragment being added to is the only one left: it outgrows the budget.
            if (lru_.size() == 1) return false;
            lru_.splice(lru_.begin(), lru_, std::prev(lru_.end()));
            continue;
        }
        drop(entries_.find(victim));
    }
    return true;
}

template <typename PageAt>
bool FragmentPageCache::appendEach(std::int64_t fsec, std::int32_t first, std::size_t count,
                                   PageAt pageAt, bool mayEvict) {
    if (count == 0 || first != loadedPages(fsec)) return false;
    std::size_t cost = first == 0 ? kEntryOverhead : 0;
    for (std::size_t i = 0; i < count; ++i)
        cost += kHeadBytes + (keptWhole(pageAt(i)) ? kPage + sizeof(std::int32_t) : 0);
    if (!makeRoom(cost, fsec, mayEvict)) return false;
    auto [it, added] = entries_.try_emplace(fsec);
    Entry& e = it->second;
    if (added) {
        lru_.push_front(fsec);
        e.lru = lru_.begin();
    } else {
        lru_.splice(lru_.begin(), lru_, e.lru);
    }
    const std::size_t oldHeads = e.heads.size();
    e.heads.resize(oldHeads + count * kHeadBytes);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* page = pageAt(i);
        std::memcpy(&e.heads[oldHeads + i * kHeadBytes], page, kHeadBytes);
        if (keptWhole(page)) {
            e.wholeIndex.push_back(first + static_cast<std::int32_t>(i));
            e.whole.insert(e.whole.end(), page, page + kPage);
        }
    }
    e.bytes += cost;
    bytes_ += cost;
    return true;
}

bool FragmentPageCache::append(std::int64_t fsec, std::int32_t first, std::int32_t count,
                               const std::uint8_t* pages, bool mayEvict) {
    return count > 0 && appendEach(
                            fsec, first, static_cast<std::size_t>(count),
                            [pages](std::size_t i) { return pages + kPage * i; }, mayEvict);
}

bool FragmentPageCache::append(std::int64_t fsec, std::int32_t first,
                               std::span<const std::uint8_t* const> pages, bool mayEvict) {
    return appendEach(
        fsec, first, pages.size(), [pages](std::size_t i) { return pages[i]; }, mayEvict);
}

void FragmentPageCache::clear() {
    entries_.clear();
    lru_.clear();
    bytes_ = 0;
}

void FragmentPageCache::setBudget(std::size_t bytes) {
    budget_ = bytes;
    while (bytes_ > budget_ && !lru_.empty())
        drop(entries_.find(lru_.back()));
}

void ScannedPages::begin(std::uint64_t sourceGeneration) {
    clear();
    generation_ = sourceGeneration;
}

void ScannedPages::clear() {
    sectors_ = {};
    wholeSlot_ = {};
    heads_ = {};
    whole_ = {};
    tail_.clear();
    tailStart_ = -1;
    bytes_ = 0;
    full_ = false;
}

void ScannedPages::consider(std::int64_t sector, const std::uint8_t* page) {
    // Only what looks like a page header: a version 1 header with a page type.
    if (page[0] != 1 || page[1] == 0 || page[1] > 20) return;
    if (!sectors_.empty() && sector <= sectors_.back()) return;
    const bool whole = FragmentPageCache::keptWhole(page);
    const std::size_t cost = sizeof(std::int64_t) + sizeof(std::int32_t) +
                             FragmentPageCache::kHeadBytes + (whole ? kPage : 0);
    if (full_ || bytes_ + cost > budget_) {
        full_ = true;
        return;
    }
    sectors_.push_back(sector);
    wholeSlot_.push_back(whole ? static_cast<std::int32_t>(whole_.size() / kPage) : -1);
    heads_.insert(heads_.end(), page, page + FragmentPageCache::kHeadBytes);
    if (whole) whole_.insert(whole_.end(), page, page + kPage);
    bytes_ += cost;
}

void ScannedPages::sectorsRead(std::int64_t first, std::span<const std::uint8_t> bytes) {
    constexpr std::int64_t kSector = 512, kPageSectors = 16;
    const std::int64_t n = static_cast<std::int64_t>(bytes.size()) / kSector;
    if (n <= 0) return;
    // Pages that began in the previous run and end in this one.
    const std::int64_t tailSectors = static_cast<std::int64_t>(tail_.size()) / kSector;
    if (tailSectors > 0 && tailStart_ + tailSectors == first) {
        std::vector<std::uint8_t> joint(tail_);
        const std::int64_t more = std::min(n, kPageSectors - 1);
        joint.insert(joint.end(), bytes.begin(), bytes.begin() + more * kSector);
        const std::int64_t jointSectors = tailSectors + more;
        for (std::int64_t s = 0; s + kPageSectors <= jointSectors && s < tailSectors; ++s)
            consider(tailStart_ + s, &joint[static_cast<std::size_t>(s * kSector)]);
    }
    for (std::int64_t s = 0; s + kPageSectors <= n; ++s)
        consider(first + s, &bytes[static_cast<std::size_t>(s * kSector)]);
    const std::int64_t keep = std::min(n, kPageSectors - 1);
    tail_.assign(bytes.end() - keep * kSector, bytes.end());
    tailStart_ = first + n - keep;
}

void ScannedPages::keptRunFrom(std::int64_t sector, std::int32_t most,
                               std::vector<const std::uint8_t*>& out) const {
    out.clear();
    // What looked like a header inside a page's body is kept too: it lies between two pages.
    auto i = static_cast<std::size_t>(std::lower_bound(sectors_.begin(), sectors_.end(), sector) -
                                      sectors_.begin());
    for (std::int64_t want = sector; out.size() < static_cast<std::size_t>(std::max(most, 0));
         want += 16, ++i) {
        while (i < sectors_.size() && sectors_[i] < want)
            ++i;
        if (i == sectors_.size() || sectors_[i] != want) return;
        out.push_back(wholeSlot_[i] >= 0 ? &whole_[static_cast<std::size_t>(wholeSlot_[i]) * kPage]
                                         : &heads_[i * FragmentPageCache::kHeadBytes]);
    }
}

bool ScannedPages::copyPage(std::int64_t sector, PageBytes out) const {
    auto it = std::lower_bound(sectors_.begin(), sectors_.end(), sector);
    if (it == sectors_.end() || *it != sector) return false;
    const auto i = static_cast<std::size_t>(it - sectors_.begin());
    if (wholeSlot_[i] >= 0) {
        std::memcpy(out.data(), &whole_[static_cast<std::size_t>(wholeSlot_[i]) * kPage], kPage);
        return true;
    }
    std::memcpy(out.data(), &heads_[i * FragmentPageCache::kHeadBytes],
                FragmentPageCache::kHeadBytes);
    std::memset(out.data() + FragmentPageCache::kHeadBytes, 0,
                kPage - FragmentPageCache::kHeadBytes);
    return true;
}

}  // namespace mdf
