#include "analysis/page_map.h"

#include <algorithm>
#include <climits>

namespace mdf {
namespace {

constexpr PageMapEntry kUndetermined{0, 0, 0xFF, 0xFF, false};

}  // namespace

PageMapEntry PageMap::fresh(std::int64_t pageId) const {
    return pageId < resetCount_ ? kUndetermined : PageMapEntry{};
}

void PageMap::reset(std::int64_t count) {
    count = std::clamp<std::int64_t>(count, 0, std::int64_t{INT32_MAX} + 1);
    for (std::size_t c = 0; c < chunks_.size(); ++c) {
        if (!chunks_[c]) continue;
        const std::int64_t first = static_cast<std::int64_t>(c) * kChunkEntries;
        const std::int64_t end = std::min(first + kChunkEntries, count);
        for (std::int64_t id = first; id < end; ++id)
            chunks_[c][id - first] = kUndetermined;
    }
    resetCount_ = std::max(resetCount_, count);
}

PageMapEntry PageMap::get(std::int64_t pageId) const {
    if (pageId < 0 || pageId > INT32_MAX) return PageMapEntry{};
    const auto c = static_cast<std::size_t>(pageId / kChunkEntries);
    if (c >= chunks_.size() || !chunks_[c]) return fresh(pageId);
    return chunks_[c][pageId % kChunkEntries];
}

PageMapEntry* PageMap::at(std::int64_t pageId) {
    if (pageId < 0 || pageId > INT32_MAX) return nullptr;
    const auto c = static_cast<std::size_t>(pageId / kChunkEntries);
    if (c >= chunks_.size()) chunks_.resize(c + 1);
    if (!chunks_[c]) {
        chunks_[c] = std::make_unique<PageMapEntry[]>(kChunkEntries);
        const std::int64_t first = static_cast<std::int64_t>(c) * kChunkEntries;
        for (std::int64_t i = 0; i < kChunkEntries; ++i)
            chunks_[c][i] = fresh(first + i);
    }
    return &chunks_[c][pageId % kChunkEntries];
}

bool PageMap::written(std::int64_t pageId) const {
    if (pageId < 0 || pageId > INT32_MAX) return false;
    const auto c = static_cast<std::size_t>(pageId / kChunkEntries);
    return c < chunks_.size() && chunks_[c] != nullptr;
}

std::size_t PageMap::chunksInUse() const {
    return static_cast<std::size_t>(
        std::count_if(chunks_.begin(), chunks_.end(), [](const auto& c) { return c != nullptr; }));
}

}  // namespace mdf
