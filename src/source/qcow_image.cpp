// QEMU copy-on-write images (qcow, qcow2), read through libqcow. Clusters never written read as
// zeros; compressed clusters are unpacked by the library.
#include <libqcow.h>

#include <algorithm>

#include "source/image_readers.h"
#include "source/qcow_header.h"

namespace mdf {
namespace {

std::string qcowError(libqcow_error_t*& error) {
    return libraryError(error, libqcow_error_sprint, libqcow_error_free);
}

class QcowImage : public RandomAccessFile {
  public:
    QcowImage(libqcow_file_t* file, std::int64_t mediaBytes)
        : file_(file), mediaBytes_(mediaBytes) {}
    ~QcowImage() override {
        libqcow_file_close(file_, nullptr);
        libqcow_file_free(&file_, nullptr);
    }
    QcowImage(const QcowImage&) = delete;
    QcowImage& operator=(const QcowImage&) = delete;

    std::int64_t readAt(void* buffer, std::size_t size, std::uint64_t offset) override {
        return readMedia(buffer, size, offset, mediaBytes_,
                         [this](void* out, std::size_t count, std::uint64_t at) -> std::int64_t {
                             libqcow_error_t* error = nullptr;
                             const ssize_t got = libqcow_file_read_buffer_at_offset(
                                 file_, out, count, static_cast<off64_t>(at), &error);
                             if (got < 0) libqcow_error_free(&error);
                             return got;
                         });
    }

  private:
    libqcow_file_t* file_;
    std::int64_t mediaBytes_;
};

}  // namespace

OpenedSource openQcowImage(const std::string& path) {
    OpenedSource out;
    out.format = ImageFormat::Qcow;
    // The library reads wherever the file's tables point: they are checked first.
    if (auto plain = openPlainReadOnly(path)) {
        const std::int64_t bytes = plainByteSizeOf(path);
        if (std::string problem = qcowImageProblem(
                *plain, static_cast<std::uint64_t>(std::max<std::int64_t>(bytes, 0)));
            !problem.empty()) {
            out.problem = "qcow2 image damaged: " + problem;
            out.refused = true;
            return out;
        }
    }
    libqcow_error_t* error = nullptr;
    libqcow_file_t* file = nullptr;
    if (libqcow_file_initialize(&file, &error) != 1) {
        out.problem = "qcow2: " + qcowError(error);
        return out;
    }
    if (libqcow_file_open(file, path.c_str(), LIBQCOW_OPEN_READ, &error) != 1) {
        out.problem = "qcow2 image cannot be opened (damaged?): " + qcowError(error);
        libqcow_file_free(&file, nullptr);
        return out;
    }
    auto fail = [&](std::string problem) {
        out.problem = std::move(problem);
        libqcow_file_close(file, nullptr);
        libqcow_file_free(&file, nullptr);
        return std::move(out);
    };
    auto refuse = [&](std::string problem) {
        out.refused = true;
        return fail(std::move(problem));
    };
    std::size_t backingName = 0;
    // Without its backing file an overlay holds only what changed; the rest would read as
    // zeros and pass for data.
    if (libqcow_file_get_utf8_backing_filename_size(file, &backingName, nullptr) == 1 &&
        backingName > 1)
        return refuse("qcow2 image has a backing file; merge the chain first (qemu-img convert)");
    std::uint32_t encryption = 0;
    if (libqcow_file_get_encryption_method(file, &encryption, nullptr) == 1 &&
        encryption != LIBQCOW_ENCRYPTION_METHOD_NONE)
        return refuse("qcow2 image is encrypted");
    size64_t media = 0;
    if (libqcow_file_get_media_size(file, &media, &error) != 1)
        return fail("qcow2 without a media size: " + qcowError(error));
    out.mediaBytes = static_cast<std::int64_t>(media);
    out.file = std::make_unique<QcowImage>(file, out.mediaBytes);
    return out;
}

}  // namespace mdf
