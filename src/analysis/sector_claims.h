#pragma once

#include <algorithm>
#include <climits>
#include <cstdint>
#include <iterator>
#include <utility>
#include <vector>

namespace mdf {

// Sector ranges [first, end) that something else holds (a fragment, a cluster in use): never
// taken as pieces of a page. Overlapping and touching ranges are merged.
class SectorClaims {
  public:
    explicit SectorClaims(std::vector<std::pair<std::int64_t, std::int64_t>> ranges) {
        std::sort(ranges.begin(), ranges.end());
        for (const auto& r : ranges) {
            if (r.second <= r.first) continue;
            if (!ranges_.empty() && r.first <= ranges_.back().second)
                ranges_.back().second = std::max(ranges_.back().second, r.second);
            else
                ranges_.push_back(r);
        }
    }
    // True when no claimed range overlaps [first, end).
    bool free(std::int64_t first, std::int64_t end) const {
        auto it = after(first);
        if (it != ranges_.end() && it->first < end) return false;
        return it == ranges_.begin() || std::prev(it)->second <= first;
    }
    // Where the next claimed range after `sector` begins (INT64_MAX when none does): for a free
    // `sector`, [sector, end) is free exactly when end is no further.
    std::int64_t nextClaimAfter(std::int64_t sector) const {
        auto it = after(sector);
        return it == ranges_.end() ? INT64_MAX : it->first;
    }
    // Where the claimed range holding `sector` ends; `sector` itself when none holds it.
    std::int64_t endOfClaimAt(std::int64_t sector) const {
        auto it = after(sector);
        if (it == ranges_.begin() || std::prev(it)->second <= sector) return sector;
        return std::prev(it)->second;
    }

  private:
    // The first range that begins after `sector`.
    std::vector<std::pair<std::int64_t, std::int64_t>>::const_iterator after(
        std::int64_t sector) const {
        return std::upper_bound(ranges_.begin(), ranges_.end(),
                                std::pair<std::int64_t, std::int64_t>{sector, INT64_MAX});
    }

    std::vector<std::pair<std::int64_t, std::int64_t>> ranges_;
};

}  // namespace mdf
