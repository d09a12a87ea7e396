// VHD (fixed and dynamic) and VHDX images, as Hyper-V and Virtual PC write them, read through
// libvhdi. Blocks a dynamic image never allocated read as zeros.
#include <libvhdi.h>

#include "source/image_readers.h"

namespace mdf {
namespace {

std::string vhdiError(libvhdi_error_t*& error) {
    return libraryError(error, libvhdi_error_sprint, libvhdi_error_free);
}

class VhdiImage : public RandomAccessFile {
  public:
    VhdiImage(libvhdi_file_t* file, std::int64_t mediaBytes)
        : file_(file), mediaBytes_(mediaBytes) {}
    ~VhdiImage() override {
        libvhdi_file_close(file_, nullptr);
        libvhdi_file_free(&file_, nullptr);
    }
    VhdiImage(const VhdiImage&) = delete;
    VhdiImage& operator=(const VhdiImage&) = delete;

    std::int64_t readAt(void* buffer, std::size_t size, std::uint64_t offset) override {
        return readMedia(buffer, size, offset, mediaBytes_,
                         [this](void* out, std::size_t count, std::uint64_t at) -> std::int64_t {
                             libvhdi_error_t* error = nullptr;
                             const ssize_t got = libvhdi_file_read_buffer_at_offset(
                                 file_, out, count, static_cast<off64_t>(at), &error);
                             if (got < 0) libvhdi_error_free(&error);
                             return got;
                         });
    }

  private:
    libvhdi_file_t* file_;
    std::int64_t mediaBytes_;
};

}  // namespace

OpenedSource openVhdiImage(const std::string& path, ImageFormat format) {
    OpenedSource out;
    out.format = format;
    const char* name = imageFormatName(format);
    libvhdi_error_t* error = nullptr;
    libvhdi_file_t* file = nullptr;
    if (libvhdi_file_initialize(&file, &error) != 1) {
        out.problem = std::string(name) + ": " + vhdiError(error);
        return out;
    }
    if (libvhdi_file_open(file, path.c_str(), LIBVHDI_OPEN_READ, &error) != 1) {
        out.problem = std::string(name) + " image cannot be opened (damaged?): " + vhdiError(error);
        libvhdi_file_free(&file, nullptr);
        return out;
    }
    auto fail = [&](std::string problem) {
        out.problem = std::move(problem);
        libvhdi_file_close(file, nullptr);
        libvhdi_file_free(&file, nullptr);
        return std::move(out);
    };
    auto refuse = [&](std::string problem) {
        out.refused = true;
        return fail(std::move(problem));
    };
    std::uint32_t diskType = 0;
    if (libvhdi_file_get_disk_type(file, &diskType, &error) != 1)
        return fail(std::string(name) + ": " + vhdiError(error));
    // Without its parent a differencing image holds only the blocks that changed; the rest
    // would read as zeros and pass for data.
    if (diskType == LIBVHDI_DISK_TYPE_DIFFERENTIAL)
        return refuse(
            std::string(name) +
            " is a differencing image; merge it with its parent first (qemu-img convert)");
    size64_t media = 0;
    std::uint32_t sectorBytes = 512;
    if (libvhdi_file_get_media_size(file, &media, &error) != 1)
        return fail(std::string(name) + " without a media size: " + vhdiError(error));
    if (libvhdi_file_get_bytes_per_sector(file, &sectorBytes, nullptr) != 1 || sectorBytes == 0)
        sectorBytes = 512;
    out.mediaBytes = static_cast<std::int64_t>(media);
    out.logicalSectorBytes = sectorBytes;
    out.file = std::make_unique<VhdiImage>(file, out.mediaBytes);
    return out;
}

}  // namespace mdf
