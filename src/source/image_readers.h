#pragma once

// The readers of each container format, one file each, for image_format.cpp.
#include <algorithm>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "source/image_format.h"
#include "source/worker_thread.h"

namespace mdf {

OpenedSource openEwfImage(const std::string& path);
OpenedSource openVhdiImage(const std::string& path, ImageFormat format);  // VHD and VHDX
OpenedSource openVmdkImage(const std::string& path);
OpenedSource openQcowImage(const std::string& path);

// The text of a libyal error (each library has its own error type, all printed alike); frees
// the error.
template <typename Error, typename Sprint, typename Free>
std::string libraryError(Error*& error, Sprint sprint, Free freeError) {
    if (error == nullptr) return "unknown error";
    char text[1024] = {};
    sprint(error, text, sizeof text);
    freeError(&error);
    std::string s(text);
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    // Only the last line names the cause; the ones before it are the call chain.
    const auto cut = s.rfind('\n');
    return cut == std::string::npos ? s : s.substr(cut + 1);
}

// Reads a library's read-at-offset in a loop, bounded by the media size; -1 when the
// library reports an error for any part of the range.
template <typename ReadAt>
std::int64_t readMedia(void* buffer, std::size_t size, std::uint64_t offset,
                       std::int64_t mediaBytes, ReadAt readAt) {
    if (mediaBytes < 0 || offset >= static_cast<std::uint64_t>(mediaBytes)) return 0;
    const std::uint64_t left = static_cast<std::uint64_t>(mediaBytes) - offset;
    if (size > left) size = static_cast<std::size_t>(left);
    auto* out = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const std::int64_t n = readAt(out + done, size - done, offset + done);
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<std::int64_t>(done);
}

// Decompressing is what a compressed image costs, one core per library handle. A long read is
// cut into contiguous parts on boundaries of the image's compressed blocks (so that none is
// inflated twice), none shorter than kLeastPart; readPart(i, out, count, at) reads part i with
// handle i of its own, the first on the calling thread and part i > 0 on helper i - 1.
inline constexpr std::size_t kLongImageRead = std::size_t{8} << 20;
inline constexpr std::size_t kLeastPart = std::size_t{512} << 10;

// The handles and helper threads of a compressed image, opened when the first long read comes.
template <typename Handle>
struct PartReaders {
    std::vector<Handle*> handles;  // the first opened with the image
    std::vector<std::unique_ptr<WorkerThread>> helpers;

    // How many parts a read of size bytes is cut into, for at most `threads` threads; opens
    // handles (openMore() returns one, or nullptr) and starts helpers up to that number.
    template <typename OpenMore>
    std::size_t partsFor(std::size_t size, unsigned threads, OpenMore openMore) {
        const std::size_t wanted =
            std::clamp<std::size_t>(size / kLeastPart, 1, std::max(1u, threads));
        while (handles.size() < wanted) {
            Handle* more = openMore();
            if (!more) break;
            handles.push_back(more);
        }
        try {
            while (helpers.size() + 1 < std::min(wanted, handles.size()))
                helpers.push_back(std::make_unique<WorkerThread>());
        } catch (const std::system_error&) {
            // Read with the threads there are.
        }
        return std::min(wanted, helpers.size() + 1);
    }
};

// Reads size bytes at offset in `parts` parts whose inner cuts lie on multiples of blockBytes.
// As one handle would: the count read, or -1 when any part fails.
template <typename ReadPart>
std::int64_t readInParts(void* buffer, std::size_t size, std::uint64_t offset, std::size_t parts,
                         std::uint64_t blockBytes,
                         std::vector<std::unique_ptr<WorkerThread>>& helpers, ReadPart readPart) {
    struct Part {
        std::size_t at, size;
    };
    std::vector<Part> cut;
    std::size_t at = 0;
    for (std::size_t i = 0; i < parts && at < size; ++i) {
        std::size_t end = i + 1 == parts ? size : at + (size - at) / (parts - i);
        if (const std::uint64_t into = (offset + end) % blockBytes; into != 0)
            end += static_cast<std::size_t>(blockBytes - into);
        end = std::min(end, size);
        cut.push_back({at, end - at});
        at = end;
    }
    auto* out = static_cast<char*>(buffer);
    std::vector<std::int64_t> got(cut.size(), -1);
    for (std::size_t i = 1; i < cut.size(); ++i)
        helpers[i - 1]->start(
            [&, i] { got[i] = readPart(i, out + cut[i].at, cut[i].size, offset + cut[i].at); });
    got[0] = readPart(0, out, cut[0].size, offset);
    for (std::size_t i = 1; i < cut.size(); ++i)
        helpers[i - 1]->wait();
    std::int64_t done = 0;
    for (std::size_t i = 0; i < cut.size(); ++i) {
        if (got[i] < 0) return -1;
        done += got[i];
        if (static_cast<std::size_t>(got[i]) != cut[i].size) break;
    }
    return done;
}

}  // namespace mdf
