#include "analysis/fragment_page_cache.h"

#include <algorithm>
#include <cstring>

namespace mdf {
namespace {

constexpr std::size_t kPage = 8192;

std::size_t costOf(const std::uint8_t* pages, std::int32_t count) {
    std::size_t bytes = 0;
    for (std::int32_t i = 0; i < count; ++i) {
        bytes += FragmentPageCache::kHeadBytes;
        if (FragmentPageCache::keptWhole(pages + kPage * static_cast<std::size_t>(i)))
            bytes += kPage + sizeof(std::int32_t);
    }
    return bytes;
}

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

bool FragmentPageCache::append(std::int64_t fsec, std::int32_t first, std::int32_t count,
                               const std::uint8_t* pages, bool mayEvict) {
    if (count <= 0 || first != loadedPages(fsec)) return false;
    const std::size_t cost = costOf(pages, count) + (first == 0 ? kEntryOverhead : 0);
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
    e.heads.resize(oldHeads + static_cast<std::size_t>(count) * kHeadBytes);
    for (std::int32_t i = 0; i < count; ++i) {
        const std::uint8_t* page = pages + kPage * static_cast<std::size_t>(i);
        std::memcpy(&e.heads[oldHeads + static_cast<std::size_t>(i) * kHeadBytes], page,
                    kHeadBytes);
        if (keptWhole(page)) {
            e.wholeIndex.push_back(first + i);
            e.whole.insert(e.whole.end(), page, page + kPage);
        }
    }
    e.bytes += cost;
    bytes_ += cost;
    return true;
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

}  // namespace mdf
