#include "scan/scan_window.h"

#include <algorithm>
#include <array>

#include "scan/window_read_ahead.h"
#include "source/sector_source.h"

namespace mdf {

ScanWindow::ScanWindow(SectorSource& source, WindowObserver* observer)
    : source_(source),
      observer_(observer),
      buffer_(std::size_t{kWindowSectors} * kSectorSize),
      chunkValid_(kWindowSectors / kWindowChunkSectors, false) {}

ScanWindow::~ScanWindow() = default;

void ScanWindow::tellObserver(std::int64_t first, std::int64_t count) {
    if (!observer_ || count <= 0) return;
    observer_->sectorsRead(start_ + first,
                           std::span(&buffer_[static_cast<std::size_t>(first) * kSectorSize],
                                     static_cast<std::size_t>(count) * kSectorSize));
}

// Only what lies inside the source is read: sectors past its end would otherwise keep whatever
// an earlier window left in the buffer and be taken for the source's own.
bool ScanWindow::fill(std::int64_t sectors) {
    sectors = source_.readableCount(start_, sectors);
    filled_ = sectors;
    std::fill(chunkValid_.begin(), chunkValid_.end(), false);
    using Ahead = WindowReadAhead::Result;
    const Ahead ahead = ahead_ ? ahead_->take(start_, sectors, buffer_) : Ahead::None;
    if (sectors <= 0) return false;
    // A window whose read ahead failed is not read whole a second time: on a failing disk every
    // try at a bad sector costs time and wear. It goes to the reads chunk by chunk at once.
    if (ahead == Ahead::Taken ||
        (ahead == Ahead::None &&
         source_.readWholeSectors(static_cast<std::uint32_t>(sectors), buffer_.data(), start_))) {
        const std::size_t chunks =
            static_cast<std::size_t>((sectors + kWindowChunkSectors - 1) / kWindowChunkSectors);
        std::fill(chunkValid_.begin(), chunkValid_.begin() + static_cast<std::ptrdiff_t>(chunks),
                  true);
        // A scan that passed over windows (clusters in use) may pass over the next ones too:
        // they are read ahead again once the window moves on to the one after it.
        if (sequential_) {
            if (!ahead_) ahead_ = std::make_unique<WindowReadAhead>(source_);
            ahead_->follow(start_ + sectors, endSector_, kWindowSectors, readAheadDepth_);
        }
        tellObserver(0, sectors);
        return true;
    }
    bool any = false;
    for (std::size_t c = 0; c < chunkValid_.size(); ++c) {
        const std::int64_t first = static_cast<std::int64_t>(c) * kWindowChunkSectors;
        const std::int64_t count = std::min<std::int64_t>(kWindowChunkSectors, sectors - first);
        chunkValid_[c] = count > 0 && source_.readWholeSectors(
                                          static_cast<std::uint32_t>(count),
                                          &buffer_[static_cast<std::size_t>(first) * kSectorSize],
                                          start_ + first);
        any = any || chunkValid_[c];
        if (chunkValid_[c]) tellObserver(first, count);
    }
    return any;
}

bool ScanWindow::prime(std::int64_t start, std::int64_t endSector) {
    start_ = start;
    end_ = start + kWindowSectors;
    endSector_ = endSector;
    sequential_ = true;
    return fill(kWindowSectors);
}

std::optional<PageHeader> ScanWindow::direct(std::int64_t p) {
    std::array<std::uint8_t, kSectorSize> sector{};
    if (!source_.readSectors(1, sector.data(), p)) return std::nullopt;
    return PageHeader::from(sector);
}

std::optional<PageHeader> ScanWindow::fromBuffer(std::int64_t p) {
    const std::int64_t index = p - start_;
    if (index >= filled_ || !chunkValid_[static_cast<std::size_t>(index / kWindowChunkSectors)])
        return direct(p);
    return PageHeader::from(
        std::span(&buffer_[static_cast<std::size_t>(index) * kSectorSize], kPageHeaderSize));
}

bool ScanWindow::copyPage(std::int64_t p, std::span<std::uint8_t, 8192> out) const {
    constexpr std::int64_t kPageSectors = 16;
    const std::int64_t index = p - start_;
    if (index < 0 || index + kPageSectors > filled_) return false;
    for (std::int64_t c = index / kWindowChunkSectors;
         c <= (index + kPageSectors - 1) / kWindowChunkSectors; ++c)
        if (!chunkValid_[static_cast<std::size_t>(c)]) return false;
    std::copy_n(&buffer_[static_cast<std::size_t>(index) * kSectorSize], out.size(), out.begin());
    return true;
}

std::optional<PageHeader> ScanWindow::readHeaderAt(std::int64_t p, std::int64_t n, bool windowed) {
    if (start_ <= p && p < end_) return fromBuffer(p);
    if (!windowed || p < start_) return direct(p);
    // Move forward in steps of n until the window holds p.
    const std::int64_t steps = (p - end_) / n;
    sequential_ = steps == 0;
    start_ = end_ + steps * n;
    end_ = start_ + n;
    if (endSector_ - start_ < n) n = endSector_ - start_;
    if (n <= 0 || !fill(n)) {
        filled_ = 0;
        return std::nullopt;
    }
    return fromBuffer(p);
}

}  // namespace mdf
