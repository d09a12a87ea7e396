#include "session/content_blocks.h"

#include <algorithm>
#include <cstring>

#include "scan/content_file.h"

namespace mdf {
namespace {

// Pages per read while saving content. On a disk read with O_DIRECT a read per page cost a
// seek-sized wait each: saving took six times as long as the scan that found the pages.
constexpr std::int32_t kContentReadPages = 1024;

}  // namespace

void RecentSectors::release(Run& run) {
    held_ -= run.bytes.capacity();
    if (spare_.size() < kSpares) spare_.push_back(std::move(run.bytes));
}

// A spare is reused only for a run of about its size: a window's buffer kept for a 64 KiB chunk
// of a window read piece by piece would hold 6 MiB for it, and a failing disk makes thousands of
// such chunks.
std::vector<std::uint8_t> RecentSectors::spareFor(std::size_t size) {
    for (auto it = spare_.begin(); it != spare_.end(); ++it)
        if (it->capacity() >= size && it->capacity() <= 2 * size) {
            std::vector<std::uint8_t> buffer = std::move(*it);
            spare_.erase(it);
            return buffer;
        }
    return {};
}

void RecentSectors::add(std::int64_t first, std::span<const std::uint8_t> bytes) {
    if (bytes.size() > capacity_) {
        const std::size_t keep = capacity_ / 512 * 512;
        first += static_cast<std::int64_t>((bytes.size() - keep) / 512);
        bytes = bytes.last(keep);
    }
    // A scan never reads backwards; should a caller, what it held from there on is stale.
    while (!runs_.empty() &&
           runs_.back().first + static_cast<std::int64_t>(runs_.back().bytes.size() / 512) >
               first) {
        release(runs_.back());
        runs_.pop_back();
    }
    while (!runs_.empty() && held_ + bytes.size() > capacity_) {
        release(runs_.front());
        runs_.pop_front();
    }
    Run run{first, spareFor(bytes.size())};
    run.bytes.assign(bytes.begin(), bytes.end());
    held_ += run.bytes.capacity();
    runs_.push_back(std::move(run));
}

bool RecentSectors::copy(std::int64_t first, std::int64_t count, std::uint8_t* out) const {
    std::int64_t at = first;
    const std::int64_t end = first + count;
    auto run = std::upper_bound(runs_.begin(), runs_.end(), first,
                                [](std::int64_t s, const Run& r) { return s < r.first; });
    if (run == runs_.begin()) return count <= 0;
    --run;
    for (; at < end && run != runs_.end(); ++run) {
        const std::int64_t runEnd = run->first + static_cast<std::int64_t>(run->bytes.size() / 512);
        if (run->first > at) return false;  // a hole between what the scan read
        if (runEnd <= at) continue;
        const std::int64_t n = std::min(end, runEnd) - at;
        std::memcpy(out + (at - first) * 512, run->bytes.data() + (at - run->first) * 512,
                    static_cast<std::size_t>(n) * 512);
        at += n;
    }
    return at >= end;
}

ContentBlockWriter::ContentBlockWriter(OutputFile& out, SectorSource& source, std::uint32_t seed)
    : out_(out),
      source_(source),
      seed_(seed),
      chunk_(kContentPrefixBytes + std::size_t{kContentReadPages} * 8192) {}

void ContentBlockWriter::readOrZero(std::uint32_t count, std::uint8_t* buffer,
                                    std::int64_t sector) {
    if (source_.readWholeSectors(count, buffer, sector)) return;
    std::fill(buffer, buffer + std::size_t{count} * 512, 0);
    if (!unreadable_.empty() && unreadable_.back().end() == sector)
        unreadable_.back().count += count;
    else
        unreadable_.push_back({sector, count});
}

// `pages` pages from `sector` into pagesAt, with `prefixSectors` sectors before them into the
// bytes just before it: from what the scan read when it holds all of them, else in one read of
// the source, else piece by piece.
void ContentBlockWriter::fetch(std::uint8_t* pagesAt, std::int64_t prefixSectors,
                               std::int64_t sector, std::int32_t pages,
                               const RecentSectors* recent) {
    const std::int64_t sectors = prefixSectors + 16 * std::int64_t{pages};
    std::uint8_t* const at = pagesAt - prefixSectors * 512;
    if (sectors <= 0) return;
    if (recent && recent->copy(sector - prefixSectors, sectors, at)) return;
    if (source_.readWholeSectors(static_cast<std::uint32_t>(sectors), at, sector - prefixSectors))
        return;
    if (prefixSectors > 0)
        readOrZero(static_cast<std::uint32_t>(prefixSectors), at, sector - prefixSectors);
    for (std::int32_t k = 0; k < pages; ++k)
        readOrZero(16, pagesAt + std::size_t{8192} * static_cast<std::size_t>(k),
                   sector + 16 * std::int64_t{k});
}

void ContentBlockWriter::append(const FragmentRecord& r, const RecentSectors* recent) {
    std::uint8_t* const pagesAt = chunk_.data() + kContentPrefixBytes;
    // Sectors before sector 0 do not exist; they are kept as zeros.
    std::fill(chunk_.begin(), chunk_.begin() + kContentPrefixBytes, 0);
    const std::int64_t missing = std::max<std::int64_t>(0, kContentPrefixSectors - r.fsec);
    std::int64_t prefix = kContentPrefixSectors - std::min(missing, kContentPrefixSectors);
    const std::uint8_t* from = chunk_.data();
    const std::int64_t pages = std::max(r.pages(), 0);
    for (std::int64_t first = 0; first == 0 || first < pages; first += kContentReadPages) {
        const auto count =
            static_cast<std::int32_t>(std::min<std::int64_t>(pages - first, kContentReadPages));
        fetch(pagesAt, prefix, r.fsec + 16 * first, count, recent);
        for (std::int32_t k = 0; k < count; ++k)
            scramblePage(PageBytes(pagesAt + std::size_t{8192} * static_cast<std::size_t>(k), 8192),
                         seed_);
        out_.write({from, static_cast<std::size_t>(pagesAt - from) +
                              std::size_t{8192} * static_cast<std::size_t>(count)});
        prefix = 0;
        from = pagesAt;
    }
}

}  // namespace mdf
