#include "scan/sector_sums.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstring>

#include "source/byte_order.h"

namespace mdf {
namespace {

static_assert(std::endian::native == std::endian::little, "the sums read words as they lie");

constexpr std::int64_t kRecordBytes = 5;
constexpr std::uint8_t kNonZero = 4;

bool writeAll(int fd, const std::uint8_t* data, std::size_t bytes, std::int64_t at) {
    while (bytes > 0) {
        const ssize_t n = ::pwrite(fd, data, bytes, at);
        if (n <= 0) return false;
        data += n;
        bytes -= static_cast<std::size_t>(n);
        at += n;
    }
    return true;
}

}  // namespace

SectorSums::SectorSums(std::string path, std::int64_t mostBytes)
    : path_(std::move(path)), mostBytes_(mostBytes) {
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    // Gone from the folder at once: the open file lives on until it is closed, or the process
    // ends however it ends, and nothing is left behind.
    if (fd_ >= 0) ::unlink(path_.c_str());
}

SectorSums::~SectorSums() {
    if (fd_ >= 0) ::close(fd_);
}

void SectorSums::sectorsRead(std::int64_t first, std::span<const std::uint8_t> bytes) {
    if (next_) next_->sectorsRead(first, bytes);
    if (fd_ < 0 || failed_ || first < 0) return;
    const std::size_t count = bytes.size() / 512;
    records_.assign(count * kRecordBytes, 0);
    bool any = false;
    for (std::size_t k = 0; k < count; ++k) {
        const std::uint8_t* sector = &bytes[k * 512];
        // One pass over the sector in 64-bit words, four at a time: the scan waits for this.
        std::uint64_t x[4] = {}, o[4] = {};
        for (int w = 0; w < 64; w += 4)
            for (int l = 0; l < 4; ++l) {
                std::uint64_t word;
                std::memcpy(&word, sector + 8 * (w + l), 8);
                x[l] ^= word;
                o[l] |= word;
            }
        if ((o[0] | o[1] | o[2] | o[3]) == 0) continue;
        any = true;
        const std::uint64_t x64 = x[0] ^ x[1] ^ x[2] ^ x[3];
        std::uint8_t* record = &records_[k * kRecordBytes];
        // Little-endian words: the 32-bit words' XOR is the two halves' XOR.
        storeU32(record, static_cast<std::uint32_t>(x64 ^ (x64 >> 32)));
        record[4] = static_cast<std::uint8_t>(kNonZero | (sector[511] & 3));
    }
    // Sectors of zeros are what a hole in the file reads as: nothing is written for them.
    if (any) {
        written_ += static_cast<std::int64_t>(records_.size());
        if ((mostBytes_ > 0 && written_ > mostBytes_) ||
            !writeAll(fd_, records_.data(), records_.size(), first * kRecordBytes)) {
            drop();
            return;
        }
    }
    cover(first, first + static_cast<std::int64_t>(count));
}

void SectorSums::drop() {
    failed_ = true;
    covered_.clear();
    if (::ftruncate(fd_, 0) != 0) {
        // The room stays taken until the file is closed; the sums are unused either way.
    }
}

void SectorSums::cover(std::int64_t first, std::int64_t end) {
    if (end <= first) return;
    auto at = std::lower_bound(covered_.begin(), covered_.end(), std::pair{first, first});
    at = covered_.insert(at, {first, end});
    // Merge with the ranges it touches on either side.
    if (at != covered_.begin() && std::prev(at)->second >= at->first) {
        std::prev(at)->second = std::max(std::prev(at)->second, at->second);
        at = std::prev(covered_.erase(at));
    }
    while (std::next(at) != covered_.end() && std::next(at)->first <= at->second) {
        at->second = std::max(at->second, std::next(at)->second);
        covered_.erase(std::next(at));
    }
}

bool SectorSums::covers(std::int64_t first, std::int64_t end) const {
    if (failed_ || end <= first) return false;
    auto after = std::upper_bound(covered_.begin(), covered_.end(),
                                  std::pair{first, std::int64_t{INT64_MAX}});
    return after != covered_.begin() && std::prev(after)->second >= end;
}

bool SectorSums::read(std::int64_t first, std::int64_t count, std::uint32_t* xors,
                      std::uint8_t* lows, std::uint8_t* nonZero) const {
    if (fd_ < 0 || !covers(first, first + count)) return false;
    std::vector<std::uint8_t> records(static_cast<std::size_t>(count * kRecordBytes));
    std::size_t done = 0;
    while (done < records.size()) {
        const ssize_t n = ::pread(fd_, records.data() + done, records.size() - done,
                                  first * kRecordBytes + static_cast<std::int64_t>(done));
        if (n < 0) return false;
        if (n == 0) break;  // past the file's end: a hole of zero sectors
        done += static_cast<std::size_t>(n);
    }
    for (std::int64_t k = 0; k < count; ++k) {
        const std::uint8_t* record = &records[static_cast<std::size_t>(k * kRecordBytes)];
        xors[k] = loadU32(record);
        lows[k] = record[4] & 3;
        nonZero[k] = (record[4] & kNonZero) != 0;
    }
    return true;
}

}  // namespace mdf
