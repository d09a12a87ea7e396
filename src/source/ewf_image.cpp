// EWF (E01, Ex01) images, as forensic imagers write them, read through libewf. A set split into
// segment files (.E01, .E02, ...) is found from its first segment by libewf's own naming rules.
#include <fmt/core.h>
#include <libewf.h>

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

class EwfImage : public RandomAccessFile {
  public:
    EwfImage(libewf_handle_t* handle, std::int64_t mediaBytes, std::uint32_t sectorBytes,
             Ranges acquisitionErrors)
        : handle_(handle),
          mediaBytes_(mediaBytes),
          sectorBytes_(sectorBytes),
          unread_(std::move(acquisitionErrors)) {}
    ~EwfImage() override {
        libewf_handle_close(handle_, nullptr);
        libewf_handle_free(&handle_, nullptr);
    }
    EwfImage(const EwfImage&) = delete;
    EwfImage& operator=(const EwfImage&) = delete;

    std::int64_t readAt(void* buffer, std::size_t size, std::uint64_t offset) override {
        // What the imager could not read it stored as zeros and listed; those are no data.
        if (overlaps(unread_, offset, offset + size)) return -1;
        const std::int64_t n =
            readMedia(buffer, size, offset, mediaBytes_,
                      [this](void* out, std::size_t count, std::uint64_t at) -> std::int64_t {
                          libewf_error_t* error = nullptr;
                          const ssize_t got = libewf_handle_read_random(
                              handle_, out, count, static_cast<off64_t>(at), &error);
                          if (got < 0) libewf_error_free(&error);
                          return got;
                      });
        if (n <= 0) return n;
        // A chunk whose checksum fails is handed out as stored, and listed: the read fails.
        return overlaps(checksumErrors(), offset, offset + static_cast<std::uint64_t>(n)) ? -1 : n;
    }

  private:
    Ranges checksumErrors() {
        Ranges out;
        std::uint32_t count = 0;
        if (libewf_handle_get_number_of_checksum_errors(handle_, &count, nullptr) != 1) return out;
        for (std::uint32_t i = 0; i < count; ++i) {
            std::uint64_t first = 0, sectors = 0;
            if (libewf_handle_get_checksum_error(handle_, i, &first, &sectors, nullptr) == 1)
                out.push_back({first * sectorBytes_, (first + sectors) * sectorBytes_});
        }
        return out;
    }

    libewf_handle_t* handle_;
    std::int64_t mediaBytes_;
    std::uint32_t sectorBytes_;
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
    for (int i = 0; i < count; ++i)
        out.files.push_back(names[i]);
    libewf_handle_t* handle = nullptr;
    if (libewf_handle_initialize(&handle, &error) != 1) {
        libewf_glob_free(names, count, nullptr);
        out.problem = "EWF: " + ewfError(error);
        return out;
    }
    const int opened = libewf_handle_open(handle, names, count, LIBEWF_OPEN_READ, &error);
    libewf_glob_free(names, count, nullptr);
    if (opened != 1) {
        out.problem = fmt::format(
            "EWF image in {} segment file(s) cannot be opened (a segment missing or damaged): {}",
            count, ewfError(error));
        libewf_handle_free(&handle, nullptr);
        return out;
    }
    size64_t media = 0;
    std::uint32_t sectorBytes = 512;
    if (libewf_handle_get_media_size(handle, &media, &error) != 1 ||
        libewf_handle_get_bytes_per_sector(handle, &sectorBytes, &error) != 1 || sectorBytes == 0) {
        out.problem = "EWF image without a media size: " + ewfError(error);
        libewf_handle_close(handle, nullptr);
        libewf_handle_free(&handle, nullptr);
        return out;
    }
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
    auto image = std::make_unique<EwfImage>(handle, out.mediaBytes, sectorBytes, std::move(unread));
    // libewf opens the segments it found even when later ones are missing (the set then ends
    // early) or the last one was never finished; either shows as the last sector out of reach.
    const int corrupted = libewf_handle_segment_files_corrupted(handle, nullptr);
    std::vector<std::uint8_t> last(512);
    const bool lastReadable =
        out.mediaBytes < 512 ||
        readMedia(last.data(), last.size(), static_cast<std::uint64_t>(out.mediaBytes - 512),
                  out.mediaBytes, [&](void* buffer, std::size_t size, std::uint64_t at) {
                      libewf_error_t* e = nullptr;
                      const ssize_t n = libewf_handle_read_random(handle, buffer, size,
                                                                  static_cast<off64_t>(at), &e);
                      if (n < 0) libewf_error_free(&e);
                      return static_cast<std::int64_t>(n);
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
