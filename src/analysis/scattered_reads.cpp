#include "analysis/scattered_reads.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "source/sector_source.h"

namespace mdf {

ScatteredReads::ScatteredReads(SectorSource& source, std::vector<Stretch> stretches,
                               std::size_t mostBytes)
    : source_(source) {
    // Longest first at each sector, so that the first of a run of equal starts is the one kept.
    std::sort(stretches.begin(), stretches.end(), [](const Stretch& a, const Stretch& b) {
        return a.first != b.first ? a.first < b.first : a.second > b.second;
    });
    std::size_t bytes = 0;
    for (const auto& [first, count] : stretches) {
        if (count == 0 || (!held_.empty() && held_.back().first == first)) continue;
        const std::size_t size = std::size_t{count} * 512;
        if (bytes + size > mostBytes) break;
        held_.push_back({first, count, bytes, State::Unread});
        bytes += size;
    }
    bytes_.resize(bytes);
    readAll();
}

void ScatteredReads::readAll() {
    std::atomic<std::size_t> next{0};
    auto readSome = [this, &next] {
        for (std::size_t i = next++; i < held_.size(); i = next++) {
            Held& h = held_[i];
            try {
                h.state = source_.readSectors(h.count, &bytes_[h.offset], h.first) ? State::Read
                                                                                   : State::Failed;
            } catch (...) {
                h.state = State::Unread;  // no thread may end the process
            }
        }
    };
    const int threads = std::clamp(source_.readsAtOnce(), 1, 8);
    std::vector<std::thread> helpers;
    for (int t = 1; t < threads && static_cast<std::size_t>(t) < held_.size(); ++t) {
        try {
            helpers.emplace_back(readSome);
        } catch (...) {
            break;  // no more threads to be had: those there are read everything
        }
    }
    readSome();
    for (std::thread& helper : helpers)
        helper.join();
}

bool ScatteredReads::read(std::uint32_t count, std::uint8_t* out, std::int64_t first) {
    const auto at = std::lower_bound(held_.begin(), held_.end(), first,
                                     [](const Held& h, std::int64_t f) { return h.first < f; });
    if (at != held_.end() && at->first == first && count <= at->count) {
        if (at->state == State::Failed && count == at->count) return false;
        if (at->state == State::Read) {
            // As the source reads: nothing past its end is written.
            const auto within = static_cast<std::size_t>(source_.readableCount(first, count));
            std::memcpy(out, &bytes_[at->offset], within * 512);
            return true;
        }
    }
    return source_.readSectors(count, out, first);
}

}  // namespace mdf
