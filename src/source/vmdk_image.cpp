// VMDK images (a sparse extent with its descriptor inside, or a descriptor file naming its
// extents beside it), as VMware and qemu-img write them, read through libvmdk. Grains never
// written read as zeros.
#include <libvmdk.h>

#include <filesystem>

#include "source/image_readers.h"

namespace mdf {
namespace {

std::string vmdkError(libvmdk_error_t*& error) {
    return libraryError(error, libvmdk_error_sprint, libvmdk_error_free);
}

class VmdkImage : public RandomAccessFile {
  public:
    VmdkImage(libvmdk_handle_t* handle, std::int64_t mediaBytes)
        : handle_(handle), mediaBytes_(mediaBytes) {}
    ~VmdkImage() override {
        libvmdk_handle_close(handle_, nullptr);
        libvmdk_handle_free(&handle_, nullptr);
    }
    VmdkImage(const VmdkImage&) = delete;
    VmdkImage& operator=(const VmdkImage&) = delete;

    std::int64_t readAt(void* buffer, std::size_t size, std::uint64_t offset) override {
        return readMedia(buffer, size, offset, mediaBytes_,
                         [this](void* out, std::size_t count, std::uint64_t at) -> std::int64_t {
                             libvmdk_error_t* error = nullptr;
                             const ssize_t got = libvmdk_handle_read_buffer_at_offset(
                                 handle_, out, count, static_cast<off64_t>(at), &error);
                             if (got < 0) libvmdk_error_free(&error);
                             return got;
                         });
    }

  private:
    libvmdk_handle_t* handle_;
    std::int64_t mediaBytes_;
};

// The files of the extents the descriptor names, beside it.
std::vector<std::string> extentFiles(libvmdk_handle_t* handle, const std::string& directory) {
    std::vector<std::string> files;
    int extents = 0;
    if (libvmdk_handle_get_number_of_extents(handle, &extents, nullptr) != 1) return files;
    for (int i = 0; i < extents; ++i) {
        libvmdk_extent_descriptor_t* extent = nullptr;
        if (libvmdk_handle_get_extent_descriptor(handle, i, &extent, nullptr) != 1) continue;
        std::size_t size = 0;
        if (libvmdk_extent_descriptor_get_utf8_filename_size(extent, &size, nullptr) == 1 &&
            size > 1 && size < 4096) {
            std::string name(size, '\0');
            if (libvmdk_extent_descriptor_get_utf8_filename(
                    extent, reinterpret_cast<std::uint8_t*>(name.data()), size, nullptr) == 1) {
                name.resize(size - 1);
                files.push_back((std::filesystem::path(directory) / name).string());
            }
        }
        libvmdk_extent_descriptor_free(&extent, nullptr);
    }
    return files;
}

}  // namespace

OpenedSource openVmdkImage(const std::string& path) {
    OpenedSource out;
    out.format = ImageFormat::Vmdk;
    libvmdk_error_t* error = nullptr;
    libvmdk_handle_t* handle = nullptr;
    if (libvmdk_handle_initialize(&handle, &error) != 1) {
        out.problem = "VMDK: " + vmdkError(error);
        return out;
    }
    if (libvmdk_handle_open(handle, path.c_str(), LIBVMDK_OPEN_READ, &error) != 1) {
        out.problem = "VMDK image cannot be opened (damaged?): " + vmdkError(error);
        libvmdk_handle_free(&handle, nullptr);
        return out;
    }
    auto fail = [&](std::string problem) {
        out.problem = std::move(problem);
        libvmdk_handle_close(handle, nullptr);
        libvmdk_handle_free(&handle, nullptr);
        return std::move(out);
    };
    auto refuse = [&](std::string problem) {
        out.refused = true;
        return fail(std::move(problem));
    };
    std::size_t parentName = 0;
    if (libvmdk_handle_get_utf8_parent_filename_size(handle, &parentName, nullptr) == 1 &&
        parentName > 1)
        return refuse(
            "VMDK is a delta image of a parent; merge the chain first (qemu-img convert)");
    // The extents a descriptor names lie beside it.
    const std::string directory = std::filesystem::path(path).parent_path().string();
    out.files = extentFiles(handle, directory);
    if (!directory.empty() && libvmdk_handle_set_extent_data_files_path(
                                  handle, directory.c_str(), directory.size(), &error) != 1)
        return fail("VMDK: " + vmdkError(error));
    if (libvmdk_handle_open_extent_data_files(handle, &error) != 1)
        return fail("VMDK extent files missing or damaged: " + vmdkError(error));
    size64_t media = 0;
    if (libvmdk_handle_get_media_size(handle, &media, &error) != 1)
        return fail("VMDK without a media size: " + vmdkError(error));
    out.mediaBytes = static_cast<std::int64_t>(media);
    out.file = std::make_unique<VmdkImage>(handle, out.mediaBytes);
    return out;
}

}  // namespace mdf
