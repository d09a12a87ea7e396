// EWF (E01, Ex01) images, as forensic imagers write them, read through libewf. A set split into
// segment files (.E01, .E02, ...) is found from its first segment by libewf's own naming rules.
#include <fmt/core.h>
#include <libewf.h>

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

#include "source/image_readers.h"

namespace mdf {
namespace {

std::string ewfError(libewf_error_t*& error) {
    return libraryError(error, libewf_error_sprint, libewf_error_free);
}

// Byte ranges [first, end) of the media.
using Ranges = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

bool overlaps(const Ranges& ranges, std::uint64_t first, std::uint64_t end) {
    for (const auto& [a, b] : ranges)
        if (a < end && first < b) return true;
    return false;
}

libewf_handle_t* openHandle(const std::vector<std::string>& segments, libewf_error_t** error) {
    libewf_handle_t* handle = nullptr;
    if (libewf_handle_initialize(&handle, error) != 1) return nullptr;
    std::vector<char*> names;
    for (const std::string& s : segments)
        names.push_back(const_cast<char*>(s.c_str()));
    if (libewf_handle_open(handle, names.data(), static_cast<int>(names.size()), LIBEWF_OPEN_READ,
                           error) != 1) {
        libewf_handle_free(&handle, nullptr);
        return nullptr;
    }
    return handle;
}

void closeHandle(libewf_handle_t*& handle) {
    libewf_handle_close(handle, nullptr);
    libewf_handle_free(&handle, nullptr);
}

std::int64_t readRandom(libewf_handle_t* handle, void* out, std::size_t count, std::uint64_t at) {
    libewf_error_t* error = nullptr;
    const ssize_t got =
        libewf_handle_read_random(handle, out, count, static_cast<off64_t>(at), &error);
    if (got < 0) libewf_error_free(&error);
    return got;
}

class EwfImage : public RandomAccessFile {
  public:
    EwfImage(libewf_handle_t* handle, std::vector<std::string> segments, std::int64_t mediaBytes,
             std::uint32_t sectorBytes, std::uint32_t chunkBytes, Ranges acquisitionErrors)
        : segments_(std::move(segments)),
          mediaBytes_(mediaBytes),
          sectorBytes_(sectorBytes),
          chunkBytes_(std::max<std::uint32_t>(chunkBytes, sectorBytes)),
          threads_(imageDecodeThreads()),
          unread_(std::move(acquisitionErrors)) {
        readers_.handles.push_back(handle);
    }
    ~EwfImage() override {
        readers_.helpers.clear();
        for (libewf_handle_t*& h : readers_.handles)
            closeHandle(h);
    }
    EwfImage(const EwfImage&) = delete;
    EwfImage& operator=(const EwfImage&) = delete;

    std::size_t preferredReadSize() const override { return threads_ > 1 ? kLongImageRead : 65536; }

    std::int64_t readAt(void* buffer, std::size_t size, std::uint64_t offset) override {
        std::lock_guard lock(mutex_);
        // What the imager could not read it stored as zeros and listed; those are no data.
        if (overlaps(unread_, offset, offset + size)) return -1;
        if (mediaBytes_ < 0 || offset >= static_cast<std::uint64_t>(mediaBytes_)) return 0;
        size = static_cast<std::size_t>(
            std::min<std::uint64_t>(size, static_cast<std::uint64_t>(mediaBytes_) - offset));
        const std::size_t parts =
            readers_.partsFor(size, threads_, [this] { return openHandle(segments_, nullptr); });
        return readInParts(buffer, size, offset, parts, chunkBytes_, readers_.helpers,
                           [this](std::size_t i, void* out, std::size_t count, std::uint64_t at) {
                               return readPart(readers_.handles[i], out, count, at);
                           });
    }

  private:
    std::int64_t readPart(libewf_handle_t* handle, void* out, std::size_t size,
                          std::uint64_t offset) {
        const std::int64_t n = readMedia(out, size, offset, mediaBytes_,
                                         [handle](void* o, std::size_t c, std::uint64_t a) {
                                             return readRandom(handle, o, c, a);
                                         });
        if (n <= 0) return n;
        // A chunk whose checksum fails is handed out as stored, and listed by the handle that
        // read it: the read fails.
        return overlaps(checksumErrors(handle), offset, offset + static_cast<std::uint64_t>(n)) ? -1
                                                                                                : n;
    }

    Ranges checksumErrors(libewf_handle_t* handle) const {
        Ranges out;
        std::uint32_t count = 0;
        if (libewf_handle_get_number_of_checksum_errors(handle, &count, nullptr) != 1) return out;
        for (std::uint32_t i = 0; i < count; ++i) {
            std::uint64_t first = 0, sectors = 0;
            if (libewf_handle_get_checksum_error(handle, i, &first, &sectors, nullptr) == 1)
                out.push_back({first * sectorBytes_, (first + sectors) * sectorBytes_});
        }
        return out;
    }

    std::mutex mutex_;
    std::vector<std::string> segments_;
    PartReaders<libewf_handle_t> readers_;
    std::int64_t mediaBytes_;
    std::uint32_t sectorBytes_;
    std::uint32_t chunkBytes_;
    unsigned threads_;
    Ranges unread_;
};

}  // namespace

OpenedSource openEwfImage(const std::string& path) {
    OpenedSource out;
    out.format = ImageFormat::Ewf;
    libewf_error_t* error = nullptr;
    char** names = nullptr;
    int count = 0;
    if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &names, &count, &error) !=
        1) {
        out.problem = "EWF segment files not found: " + ewfError(error);
        return out;
    }
    std::vector<std::string> segments(names, names + count);
    libewf_glob_free(names, count, nullptr);
    out.files = segments;
    libewf_handle_t* handle = openHandle(segments, &error);
    if (!handle) {
        out.problem = fmt::format(
            "EWF image in {} segment file(s) cannot be opened (a segment missing or damaged): {}",
            count, ewfError(error));
        return out;
    }
    size64_t media = 0;
    std::uint32_t sectorBytes = 512, chunkSectors = 64;
    if (libewf_handle_get_media_size(handle, &media, &error) != 1 ||
        libewf_handle_get_bytes_per_sector(handle, &sectorBytes, &error) != 1 || sectorBytes == 0) {
        out.problem = "EWF image without a media size: " + ewfError(error);
        closeHandle(handle);
        return out;
    }
    if (libewf_handle_get_sectors_per_chunk(handle, &chunkSectors, nullptr) != 1 ||
        chunkSectors == 0 || chunkSectors > 65536)
        chunkSectors = 64;
    Ranges unread;
    std::uint32_t errors = 0;
    if (libewf_handle_get_number_of_acquiry_errors(handle, &errors, nullptr) == 1)
        for (std::uint32_t i = 0; i < errors; ++i) {
            std::uint64_t first = 0, sectors = 0;
            if (libewf_handle_get_acquiry_error(handle, i, &first, &sectors, nullptr) == 1)
                unread.push_back({first * sectorBytes, (first + sectors) * sectorBytes});
        }
    out.mediaBytes = static_cast<std::int64_t>(media);
    out.logicalSectorBytes = sectorBytes;
    auto image = std::make_unique<EwfImage>(handle, segments, out.mediaBytes, sectorBytes,
                                            sectorBytes * chunkSectors, std::move(unread));
    // libewf opens the segments it found even when later ones are missing (the set then ends
    // early) or the last one was never finished; either shows as the last sector out of reach.
    const int corrupted = libewf_handle_segment_files_corrupted(handle, nullptr);
    std::vector<std::uint8_t> last(512);
    const bool lastReadable =
        out.mediaBytes < 512 ||
        readMedia(last.data(), last.size(), static_cast<std::uint64_t>(out.mediaBytes - 512),
                  out.mediaBytes, [&](void* buffer, std::size_t size, std::uint64_t at) {
                      return readRandom(handle, buffer, size, at);
                  }) == 512;
    if (corrupted == 1 || !lastReadable) {
        out.problem = fmt::format(
            "EWF image incomplete: {} segment file(s) found, and the {} they hold cannot all be "
            "read (a segment missing or damaged)",
            count, out.mediaBytes);
        out.mediaBytes = -1;
        return out;
    }
    out.file = std::move(image);
    return out;
}

}  // namespace mdf
