#include "scan/sector_sums.h"

#include <fcntl.h>
#include <fmt/core.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>
#include <filesystem>
#include <random>

#include "source/byte_order.h"
#include "source/file_holes.h"

namespace mdf {
namespace {

static_assert(std::endian::native == std::endian::little, "the sums read words as they lie");

constexpr std::int64_t kRecordBytes = 5;
constexpr std::uint8_t kNonZero = 4;
// A kept file's first bytes: what it is, whose (the scan's id) and which (drawn when the file is
// made, and kept in the scan's resume file: a file made again for the same scan, after the first
// was lost, never passes for the one whose ranges the resume file records); the records follow.
constexpr std::int64_t kHeaderBytes = 96;
constexpr char kMagic[] = "mdfrecover sector sums\n";

std::string headerFor(const std::string& scanId, const std::string& fileId) {
    std::string header = kMagic + scanId + "\n" + fileId + "\n";
    header.resize(kHeaderBytes, '\0');
    return header;
}

std::string newFileId() {
    std::random_device random;
    return fmt::format("{:08x}{:08x}{:08x}", random(), random(), random());
}

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

// The folder of path, opened as the guard checked it (as any output's is), or plainly without a
// guard; -1 when refused.
int openFolder(const std::string& path, const OutputGuard* guard, std::string& name) {
    if (guard) {
        std::string why;
        return guard->openFolderOf(path, name, why);
    }
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    name = absolute.filename().string();
    return ::open(absolute.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

bool regularFile(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

SectorSums::SectorSums(std::string path, std::int64_t mostBytes, std::string keptFor,
                       const OutputGuard* guard)
    : path_(std::move(path)), kept_(!keptFor.empty()), mostBytes_(mostBytes) {
    std::string name;
    const int folder = openFolder(path_, guard, name);
    if (folder < 0) return;
    if (!kept_) {
        // Gone from the folder at once: the open file lives on until it is closed, or the
        // process ends however it ends, and nothing is left behind.
        fd_ = ::openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                       0600);
        if (fd_ >= 0) ::unlinkat(folder, name.c_str(), 0);
        ::close(folder);
        return;
    }
    // Made whole under a name of its own, then put in the place of what was there: a name that
    // led to another file (a link) is replaced, never written through.
    fileId_ = newFileId();
    const std::string header = headerFor(keptFor, fileId_);
    const std::string partial = "." + name + "." + fileId_ + ".partial";
    if (keptFor.size() + fileId_.size() + sizeof kMagic + 1 <=
        static_cast<std::size_t>(kHeaderBytes)) {
        fd_ = ::openat(folder, partial.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                       0644);
        if (fd_ >= 0 && (!writeAll(fd_, reinterpret_cast<const std::uint8_t*>(header.data()),
                                   header.size(), 0) ||
                         ::renameat(folder, partial.c_str(), folder, name.c_str()) != 0)) {
            ::close(fd_);
            ::unlinkat(folder, partial.c_str(), 0);
            fd_ = -1;
        }
    }
    ::close(folder);
}

std::unique_ptr<SectorSums> SectorSums::reopen(const Kept& kept, const std::string& scanId,
                                               std::int64_t mostBytes, const OutputGuard* guard) {
    const Ranges& covered = kept.covered;
    for (std::size_t i = 0; i < covered.size(); ++i)
        if (covered[i].first < 0 || covered[i].second <= covered[i].first ||
            covered[i].second > (INT64_MAX - kHeaderBytes) / kRecordBytes ||
            (i > 0 && covered[i].first <= covered[i - 1].second))
            return nullptr;
    std::unique_ptr<SectorSums> sums(new SectorSums);
    sums->path_ = kept.path;
    sums->kept_ = true;
    sums->mostBytes_ = mostBytes;
    sums->fileId_ = kept.fileId;
    std::string name;
    const int folder = openFolder(kept.path, guard, name);
    if (folder < 0) return nullptr;
    // Read only where it may not be written: the sums serve the search all the same.
    sums->fd_ = ::openat(folder, name.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (sums->fd_ < 0) {
        sums->fd_ = ::openat(folder, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        sums->readOnly_ = true;
    }
    ::close(folder);
    std::string header(kHeaderBytes, '\0');
    if (sums->fd_ < 0 || !regularFile(sums->fd_) || scanId.empty() || kept.fileId.empty() ||
        ::pread(sums->fd_, header.data(), header.size(), 0) != kHeaderBytes ||
        header != headerFor(scanId, kept.fileId))
        return nullptr;
    struct stat st {};
    if (::fstat(sums->fd_, &st) != 0) return nullptr;
    sums->written_ = std::max<std::int64_t>(0, st.st_size - kHeaderBytes);
    sums->covered_ = covered;
    return sums;
}

std::optional<SectorSums::Kept> SectorSums::keepCopy(
    const std::string& path, const std::string& scanId, std::int64_t mostBytes,
    const OutputGuard* guard, const std::function<void(int)>& progress) const {
    if (fd_ < 0 || failed_ || covered_.empty() || scanId.empty()) return std::nullopt;
    std::int64_t bytes = 0;
    for (const auto& [first, end] : covered_)
        bytes += (end - first) * kRecordBytes;
    if (mostBytes > 0 && bytes > mostBytes) return std::nullopt;
    SectorSums copy(path, 0, scanId, guard);
    if (!copy.ok()) return std::nullopt;
    // A copy cut short is emptied, never left to pass for sums: no record names its id anyway.
    const auto fail = [&copy] {
        if (::ftruncate(copy.fd_, 0) != 0) {
            // Nothing more to do: the file is no one's either way.
        }
        return std::nullopt;
    };
    // Only what holds data is copied: sectors of zeros are a hole in both files.
    constexpr std::int64_t kChunk = std::int64_t{1} << 20;
    std::vector<std::uint8_t> chunk(static_cast<std::size_t>(kChunk));
    std::int64_t copied = 0;
    int lastPercent = -1;
    for (const auto& [first, end] : covered_) {
        for (std::int64_t at = first * kRecordBytes; at < end * kRecordBytes; at += kChunk) {
            if (const int percent = static_cast<int>(copied * 100 / bytes);
                progress && percent != lastPercent)
                progress(lastPercent = percent);
            const std::int64_t want = std::min(kChunk, end * kRecordBytes - at);
            copied += want;
            if (firstDataIn(fd_, origin() + at, origin() + at + want).first >= origin() + at + want)
                continue;  // a hole: nothing to copy
            const ssize_t n =
                ::pread(fd_, chunk.data(), static_cast<std::size_t>(want), origin() + at);
            if (n < 0) return fail();
            if (n == 0) break;  // past the file's end: zero sectors to the range's end
            const auto got = static_cast<std::size_t>(n);
            if (std::all_of(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got),
                            [](std::uint8_t b) { return b == 0; }))
                continue;
            if (!writeAll(copy.fd_, chunk.data(), got, copy.origin() + at)) return fail();
        }
    }
    if (!copy.sync()) return fail();
    return Kept{path, copy.fileId(), covered_};
}

std::int64_t SectorSums::origin() const {
    return kept_ ? kHeaderBytes : 0;
}

bool SectorSums::isKeptFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return false;
    char start[sizeof kMagic - 1] = {};
    const ssize_t n = regularFile(fd) ? ::read(fd, start, sizeof start) : -1;
    ::close(fd);
    return n == 0 || (n == sizeof start && std::memcmp(start, kMagic, sizeof start) == 0);
}

bool SectorSums::sync() const {
    return fd_ < 0 || failed_ || ::fdatasync(fd_) == 0;
}

SectorSums::~SectorSums() {
    if (fd_ >= 0) ::close(fd_);
}

SectorSums::Sum SectorSums::of(const std::uint8_t* sector) {
    // One pass over the sector in 64-bit words, four at a time: the scan waits for this.
    std::uint64_t x[4] = {}, o[4] = {};
    for (int w = 0; w < 64; w += 4)
        for (int l = 0; l < 4; ++l) {
            std::uint64_t word;
            std::memcpy(&word, sector + 8 * (w + l), 8);
            x[l] ^= word;
            o[l] |= word;
        }
    const std::uint64_t x64 = x[0] ^ x[1] ^ x[2] ^ x[3];
    // Little-endian words: the 32-bit words' XOR is the two halves' XOR.
    return {static_cast<std::uint32_t>(x64 ^ (x64 >> 32)),
            static_cast<std::uint8_t>(sector[511] & 3), (o[0] | o[1] | o[2] | o[3]) != 0};
}

void SectorSums::sectorsRead(std::int64_t first, std::span<const std::uint8_t> bytes) {
    if (next_) next_->sectorsRead(first, bytes);
    if (fd_ < 0 || failed_ || readOnly_ || first < 0) return;
    const std::size_t count = bytes.size() / 512;
    records_.assign(count * kRecordBytes, 0);
    bool any = false;
    for (std::size_t k = 0; k < count; ++k) {
        const Sum sum = of(&bytes[k * 512]);
        if (!sum.nonZero) continue;
        any = true;
        std::uint8_t* record = &records_[k * kRecordBytes];
        storeU32(record, sum.wordsXor);
        record[4] = static_cast<std::uint8_t>(kNonZero | sum.low);
    }
    // Sectors of zeros are what a hole in the file reads as: nothing is written for them.
    if (any) {
        written_ += static_cast<std::int64_t>(records_.size());
        if ((mostBytes_ > 0 && written_ > mostBytes_) ||
            !writeAll(fd_, records_.data(), records_.size(), origin() + first * kRecordBytes)) {
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
    // Only the parts that hold data are read: sectors of zeros are holes, and a hole read
    // through the file system costs it a page of zeros made for each 4 KiB (a search over a kept
    // file spent most of its time there).
    const std::int64_t begin = origin() + first * kRecordBytes;
    const std::int64_t end = begin + count * kRecordBytes;
    for (std::int64_t at = begin; at < end;) {
        FileStretch data = firstDataIn(fd_, at, end);
        for (std::int64_t pos = data.first; pos < data.end;) {
            const ssize_t n = ::pread(fd_, &records[static_cast<std::size_t>(pos - begin)],
                                      static_cast<std::size_t>(data.end - pos), pos);
            if (n < 0) return false;
            if (n == 0) {
                data.end = end;  // past the file's end: zero sectors to the range's end
                break;
            }
            pos += n;
        }
        at = data.end;
    }
    for (std::int64_t k = 0; k < count; ++k) {
        const std::uint8_t* record = &records[static_cast<std::size_t>(k * kRecordBytes)];
        xors[k] = loadU32(record);
        lows[k] = record[4] & 3;
        nonZero[k] = (record[4] & kNonZero) != 0;
    }
    return true;
}

std::int64_t SectorSums::nextWritten(std::int64_t sector) const {
    if (fd_ < 0 || sector < 0) return sector;
    const FileStretch data = firstDataIn(fd_, origin() + sector * kRecordBytes, INT64_MAX);
    if (data.first == INT64_MAX) return INT64_MAX;
    return std::max(sector, (data.first - origin()) / kRecordBytes);
}

}  // namespace mdf
