#include "analysis/fragment_pages.h"

#include <algorithm>
#include <cstring>

namespace mdf {
namespace {

// Pages read at once where a pass needs one: a whole typical fragment, and no more than a
// wrong candidate, which the match gives up at its first contradicting page, costs to read.
constexpr std::int32_t kBlockPages = 128;
// Prefetch reads: neighbouring fragments are read in one request when the bytes between them
// are fewer than a seek costs, up to this many sectors per request.
constexpr std::int64_t kRegionSectors = 16384;
constexpr std::int64_t kCoalesceGapSectors = 512;
constexpr std::size_t kPageBytes = 8192;

}  // namespace

bool PageOrigin::readFragmentSectors(std::int64_t fsec, std::int32_t offset, std::int32_t count,
                                     void* buffer) {
    if (count <= 0) return false;
    if (readFromSource_)
        return source_.readWholeSectors(static_cast<std::uint32_t>(count), buffer, fsec + offset);
    return content_.readContentSectors(fragments_, offset, count, buffer, fsec);
}

bool PageOrigin::readFragmentPages(std::int64_t fsec, std::int32_t first, std::int32_t count,
                                   void* buffer) {
    if (count <= 0) return false;
    const std::int64_t sector = fsec + std::int64_t{first} * kSectorsPerPage;
    if (readFromSource_)
        return source_.readWholeSectors(static_cast<std::uint32_t>(count) * kSectorsPerPage, buffer,
                                        sector);
    auto* out = static_cast<std::uint8_t*>(buffer);
    for (std::int32_t i = 0; i < count; ++i)
        if (!content_.readContentSectors(fragments_, (first + i) * kSectorsPerPage, kSectorsPerPage,
                                         out + std::size_t{8192} * static_cast<std::size_t>(i),
                                         fsec))
            return false;
    return true;
}

bool PageOrigin::readLeadInAndPages(std::int64_t fsec, std::int32_t count, void* buffer) {
    constexpr std::int64_t kLeadInSectors = 15;
    if (!readFromSource_ || count <= 0 || fsec < kLeadInSectors) return false;
    return source_.readWholeSectors(
        static_cast<std::uint32_t>(kLeadInSectors + std::int64_t{count} * kSectorsPerPage), buffer,
        fsec - kLeadInSectors);
}

PageOrigin::Key PageOrigin::currentKey() const {
    return {readFromSource_, source_.generation(), content_.generation(),
            readFromSource_ ? 0 : fragments_.revision()};
}

void PageOrigin::dropStaleLocked() {
    const Key key = currentKey();
    if (key == cacheKey_) return;
    cache_.clear();
    blockFsec_ = -1;
    failedFsec_ = -1;
    cacheKey_ = key;
}

void PageOrigin::setCacheBudget(std::size_t bytes) {
    std::lock_guard lock(cacheMutex_);
    cache_.setBudget(bytes);
    blockFsec_ = -1;
}

void PageOrigin::readPassPagesOneByOne(bool oneByOne) {
    std::lock_guard lock(cacheMutex_);
    oneByOne_ = oneByOne;
    cache_.clear();
    blockFsec_ = -1;
}

bool PageOrigin::readCountedPages(std::int64_t fsec, std::int32_t first, std::int32_t count,
                                  std::uint8_t* out) {
    pagesRead_ += static_cast<std::uint64_t>(count);
    bytesRead_ += static_cast<std::uint64_t>(count) * kPageBytes;
    readRequests_ += readFromSource_ ? 1 : static_cast<std::uint64_t>(count);
    return readFragmentPages(fsec, first, count, out);
}

bool PageOrigin::loadBlockLocked(std::int64_t fsec, std::int32_t first, std::int32_t count) {
    block_.resize(static_cast<std::size_t>(count) * kPageBytes);
    blockFsec_ = -1;
    if (!readCountedPages(fsec, first, count, block_.data())) return false;
    blockFsec_ = fsec;
    blockFirst_ = first;
    blockPages_ = count;
    if (first == cache_.loadedPages(fsec)) cache_.append(fsec, first, count, block_.data(), true);
    return true;
}

bool PageOrigin::readPassPage(std::int64_t fsec, std::int32_t index, std::int32_t fragmentPages,
                              PageBytes page) {
    std::lock_guard lock(cacheMutex_);
    dropStaleLocked();
    if (oneByOne_) {
        pagesRead_ += 1;
        bytesRead_ += kPageBytes;
        readRequests_ += 1;
        return readFragmentPage(*this, fsec, index, page);
    }
    if (cache_.copyPage(fsec, index, page)) return true;
    const auto inBlock = [&] {
        return blockFsec_ == fsec && index >= blockFirst_ && index < blockFirst_ + blockPages_;
    };
    const bool oneByOne = (failedFsec_ == fsec && index < failedEnd_) || index < 0 ||
                          index >= fragmentPages ||
                          (std::int64_t{fragmentPages} + 1) * kSectorsPerPage > INT32_MAX;
    if (!inBlock() && !oneByOne) {
        const std::int32_t count = std::min(fragmentPages - index, kBlockPages);
        if (!loadBlockLocked(fsec, index, count)) {
            // A page in the block could not be read: which one is found page by page, so that
            // the pass stops exactly where it would reading one page at a time.
            failedFsec_ = fsec;
            failedEnd_ = index + count;
        }
    }
    if (inBlock()) {
        std::memcpy(page.data(),
                    &block_[static_cast<std::size_t>(index - blockFirst_) * kPageBytes],
                    kPageBytes);
        return true;
    }
    pagesRead_ += 1;
    bytesRead_ += kPageBytes;
    readRequests_ += 1;
    if (!readFragmentPage(*this, fsec, index, page)) return false;
    if (index == cache_.loadedPages(fsec)) cache_.append(fsec, index, 1, page.data(), true);
    return true;
}

void PageOrigin::prefetch(std::vector<Span> spans, const std::function<void(int)>& progress) {
    std::lock_guard lock(cacheMutex_);
    dropStaleLocked();
    if (oneByOne_ || cache_.budget() == 0) return;
    std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) {
        return a.fsec != b.fsec ? a.fsec < b.fsec : a.pages > b.pages;
    });
    // One span per first sector (the longest), none the cache already holds, none the page
    // arithmetic of a single read cannot express.
    std::vector<Span> todo;
    std::int64_t totalSectors = 0;
    for (const Span& s : spans) {
        if (s.pages <= 0 || s.fsec < 0 || (!todo.empty() && todo.back().fsec == s.fsec)) continue;
        if (cache_.loadedPages(s.fsec) > 0) continue;
        if ((std::int64_t{s.pages} + 1) * kSectorsPerPage > INT32_MAX) continue;
        todo.push_back(s);
        totalSectors += std::int64_t{s.pages} * kSectorsPerPage;
    }
    std::int64_t doneSectors = 0;
    int lastPercent = -1;
    const auto advance = [&](std::int64_t sectors) {
        doneSectors += sectors;
        const int percent =
            totalSectors > 0 ? static_cast<int>(doneSectors * 100 / totalSectors) : 100;
        if (progress && percent != lastPercent) progress(percent);
        lastPercent = percent;
    };
    const auto end = [](const Span& s) { return s.fsec + std::int64_t{s.pages} * kSectorsPerPage; };
    // What the scan of this same run read needs no second read.
    if (readFromSource_ && !scanned_.empty() &&
        scanned_.sourceGeneration() == source_.generation()) {
        const bool room = takeScannedPagesLocked(todo);
        scanned_.clear();
        if (!room) return;
    }
    std::vector<std::uint8_t> region;
    for (std::size_t i = 0; i < todo.size();) {
        std::int64_t regionEnd = end(todo[i]);
        std::size_t j = i + 1;
        const auto untouched = [&](const Span& s) { return cache_.loadedPages(s.fsec) == 0; };
        if (readFromSource_ && untouched(todo[i])) {
            while (j < todo.size() && untouched(todo[j]) &&
                   todo[j].fsec - regionEnd <= kCoalesceGapSectors &&
                   std::max(regionEnd, end(todo[j])) - todo[i].fsec <= kRegionSectors) {
                regionEnd = std::max(regionEnd, end(todo[j]));
                ++j;
            }
        }
        const std::int64_t start = todo[i].fsec;
        bool regionRead = false;
        if (j > i + 1) {
            region.resize(static_cast<std::size_t>(regionEnd - start) * kSectorSize);
            bytesRead_ += static_cast<std::uint64_t>(regionEnd - start) * kSectorSize;
            readRequests_ += 1;
            regionRead = source_.readWholeSectors(static_cast<std::uint32_t>(regionEnd - start),
                                                  region.data(), start);
        }
        for (std::size_t k = i; k < j; ++k) {
            const Span& s = todo[k];
            bool kept = true;
            if (regionRead) {
                pagesRead_ += static_cast<std::uint64_t>(s.pages);
                kept = cache_.append(
                    s.fsec, 0, s.pages,
                    &region[static_cast<std::size_t>(s.fsec - start) * kSectorSize], false);
            } else {
                // Alone, in blocks; a block that cannot be read ends what is kept of the span.
                constexpr std::int32_t kSpanBlock = static_cast<std::int32_t>(kRegionSectors / 16);
                for (std::int32_t first = cache_.loadedPages(s.fsec); first < s.pages && kept;
                     first += kSpanBlock) {
                    const std::int32_t count = std::min(kSpanBlock, s.pages - first);
                    region.resize(static_cast<std::size_t>(count) * kPageBytes);
                    if (!readCountedPages(s.fsec, first, count, region.data())) break;
                    kept = cache_.append(s.fsec, first, count, region.data(), false);
                }
            }
            if (!kept) return;  // the budget is spent; the rest is read where it is needed
            advance(std::int64_t{s.pages} * kSectorsPerPage);
        }
        i = j;
    }
}

bool PageOrigin::takeScannedPagesLocked(const std::vector<Span>& spans) {
    // In batches, so that a budget spent in the middle of a long span still keeps its start.
    constexpr std::size_t kBatch = 256;
    std::vector<const std::uint8_t*> run;
    for (const Span& s : spans) {
        scanned_.keptRunFrom(s.fsec, s.pages, run);
        for (std::size_t i = 0; i < run.size(); i += kBatch) {
            const std::span batch(run.data() + i, std::min(kBatch, run.size() - i));
            if (!cache_.append(s.fsec, static_cast<std::int32_t>(i), batch, false)) return false;
        }
    }
    return true;
}

ScannedPages& PageOrigin::scannedPages() {
    return scanned_;
}

bool readFragmentPage(PageOrigin& origin, std::int64_t fsec, std::int32_t index, PageBytes page) {
    const std::int64_t offset = std::int64_t{index} * kSectorsPerPage;
    if (offset > INT32_MAX) return false;
    return origin.readFragmentSectors(fsec, static_cast<std::int32_t>(offset), kSectorsPerPage,
                                      page.data());
}

void readFragmentPagesEach(PageOrigin& origin, std::int64_t fsec, std::int32_t first,
                           std::int32_t count, std::uint8_t* buffer, std::vector<bool>& readable) {
    const bool whole = origin.readFragmentPages(fsec, first, count, buffer);
    readable.assign(static_cast<std::size_t>(std::max(count, 0)), whole);
    for (std::int32_t t = 0; t < count && !whole; ++t)
        readable[static_cast<std::size_t>(t)] = readFragmentPage(
            origin, fsec, first + t,
            PageBytes(buffer + std::size_t{8192} * static_cast<std::size_t>(t), 8192));
}

}  // namespace mdf
