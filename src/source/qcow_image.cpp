// QEMU copy-on-write images (qcow, qcow2), read through libqcow. Clusters never written read as
// zeros; compressed clusters are unpacked by the library.
#include <libqcow.h>

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

#include "source/image_readers.h"
#include "source/qcow_header.h"

namespace mdf {
namespace {

std::string qcowError(libqcow_error_t*& error) {
    return libraryError(error, libqcow_error_sprint, libqcow_error_free);
}

libqcow_file_t* openFile(const std::string& path, libqcow_error_t** error) {
    libqcow_file_t* file = nullptr;
    if (libqcow_file_initialize(&file, error) != 1) return nullptr;
    if (libqcow_file_open(file, path.c_str(), LIBQCOW_OPEN_READ, error) != 1) {
        libqcow_file_free(&file, nullptr);
        return nullptr;
    }
    return file;
}

void closeFile(libqcow_file_t*& file) {
    libqcow_file_close(file, nullptr);
    libqcow_file_free(&file, nullptr);
}

// Compressed clusters are inflated by the library on one core per file handle: long reads are
// shared out among handles of their own (image_readers.h).
class QcowImage : public RandomAccessFile {
  public:
    QcowImage(libqcow_file_t* file, std::string path, std::int64_t mediaBytes)
        : path_(std::move(path)), mediaBytes_(mediaBytes), threads_(imageDecodeThreads()) {
        readers_.handles.push_back(file);
    }
    ~QcowImage() override {
        readers_.helpers.clear();
        for (libqcow_file_t*& f : readers_.handles)
            closeFile(f);
    }
    QcowImage(const QcowImage&) = delete;
    QcowImage& operator=(const QcowImage&) = delete;

    std::size_t preferredReadSize() const override { return threads_ > 1 ? kLongImageRead : 65536; }

    std::int64_t readAt(void* buffer, std::size_t size, std::uint64_t offset) override {
        std::lock_guard lock(mutex_);
        if (mediaBytes_ < 0 || offset >= static_cast<std::uint64_t>(mediaBytes_)) return 0;
        size = static_cast<std::size_t>(
            std::min<std::uint64_t>(size, static_cast<std::uint64_t>(mediaBytes_) - offset));
        const std::size_t parts =
            readers_.partsFor(size, threads_, [this] { return openFile(path_, nullptr); });
        // qemu-img's clusters are 64 KiB unless asked otherwise; a cut inside a larger one only
        // costs inflating it twice.
        return readInParts(buffer, size, offset, parts, 65536, readers_.helpers,
                           [this](std::size_t i, void* out, std::size_t count, std::uint64_t at) {
                               return readMedia(
                                   out, count, at, mediaBytes_,
                                   [file = readers_.handles[i]](void* o, std::size_t c,
                                                                std::uint64_t a) -> std::int64_t {
                                       libqcow_error_t* error = nullptr;
                                       const ssize_t got = libqcow_file_read_buffer_at_offset(
                                           file, o, c, static_cast<off64_t>(a), &error);
                                       if (got < 0) libqcow_error_free(&error);
                                       return got;
                                   });
                           });
    }

  private:
    std::mutex mutex_;
    std::string path_;
    PartReaders<libqcow_file_t> readers_;
    std::int64_t mediaBytes_;
    unsigned threads_;
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
    libqcow_file_t* file = openFile(path, &error);
    if (!file) {
        out.problem = "qcow2 image cannot be opened (damaged?): " + qcowError(error);
        return out;
    }
    auto fail = [&](std::string problem) {
        out.problem = std::move(problem);
        closeFile(file);
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
    out.file = std::make_unique<QcowImage>(file, path, out.mediaBytes);
    return out;
}

}  // namespace mdf
