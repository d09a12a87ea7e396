#pragma once

// The readers of each container format, one file each, for image_format.cpp.
#include <string>

#include "source/image_format.h"

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

}  // namespace mdf
