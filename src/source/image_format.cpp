#include "source/image_format.h"

#include <fcntl.h>
#include <fmt/core.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstring>
#include <thread>
#include <vector>

#include "source/image_readers.h"

namespace mdf {
namespace {

bool startsWith(std::span<const std::uint8_t> bytes, const char* signature, std::size_t length) {
    return bytes.size() >= length && std::memcmp(bytes.data(), signature, length) == 0;
}

// A VMDK descriptor is a text file; its first line names it.
bool isVmdkDescriptor(std::span<const std::uint8_t> head) {
    std::size_t at = 0;
    while (at < head.size() && (head[at] == ' ' || head[at] == '\t'))
        ++at;
    static const char kLine[] = "# Disk DescriptorFile";
    return startsWith(head.subspan(at), kLine, sizeof kLine - 1);
}

// The largest disk each container can hold, by its own specification: a header that declares
// more is damaged, and would have the scan read a disk that is not there for days.
std::int64_t mostDiskBytes(ImageFormat format) {
    constexpr std::int64_t kGiB = std::int64_t{1} << 30;
    switch (format) {
        case ImageFormat::Vhd:
            return 2040 * kGiB;
        case ImageFormat::Vhdx:
        case ImageFormat::Vmdk:
            return 64 * 1024 * kGiB;
        default:
            return INT64_MAX;
    }
}

// What an EWF set's segments can hold: deflate packs at most 1032 bytes into one, and every
// chunk of an E01 is stored whole or deflated.
std::int64_t mostEwfDiskBytes(const std::vector<std::string>& segments) {
    std::int64_t stored = 0;
    for (const std::string& segment : segments)
        stored += std::max<std::int64_t>(plainByteSizeOf(segment), 0);
    return stored > INT64_MAX / 1100 ? INT64_MAX : stored * 1100 + (std::int64_t{1} << 20);
}

// The path itself is always among the files; a reader adds the others it found. A declared
// disk larger than the format or its files can hold is refused.
OpenedSource withFiles(OpenedSource opened, const std::string& path) {
    if (std::find(opened.files.begin(), opened.files.end(), path) == opened.files.end())
        opened.files.insert(opened.files.begin(), path);
    if (!opened.file) return opened;
    std::int64_t most = mostDiskBytes(opened.format);
    if (opened.format == ImageFormat::Ewf) {
        std::array<std::uint8_t, 8> signature{};
        if (auto plain = openPlainReadOnly(path); plain &&
                                                  plain->readAt(signature.data(), 8, 0) == 8 &&
                                                  std::memcmp(signature.data(), "EVF\x09", 4) == 0)
            most = mostEwfDiskBytes(opened.files);
    }
    if (opened.mediaBytes > most) {
        const std::string holder = opened.format == ImageFormat::Ewf
                                       ? fmt::format("its {} segment file(s)", opened.files.size())
                                       : fmt::format("a {} image", imageFormatName(opened.format));
        opened.problem = fmt::format(
            "{} image damaged: it declares a disk of {} bytes, more than {} can hold "
            "({} bytes at most)",
            imageFormatName(opened.format), opened.mediaBytes, holder, most);
        opened.refused = true;
        opened.file.reset();
        opened.mediaBytes = -1;
    }
    return opened;
}

}  // namespace

const char* imageFormatName(ImageFormat format) {
    switch (format) {
        case ImageFormat::Raw:
            return "raw";
        case ImageFormat::Ewf:
            return "EWF";
        case ImageFormat::Vhd:
            return "VHD";
        case ImageFormat::Vhdx:
            return "VHDX";
        case ImageFormat::Vmdk:
            return "VMDK";
        case ImageFormat::Qcow:
            return "qcow2";
    }
    return "raw";
}

ImageFormat sniffImageFormat(std::span<const std::uint8_t> head,
                             std::span<const std::uint8_t> tail) {
    if (startsWith(head, "EVF\x09\x0d\x0a\xff\x00", 8) ||
        startsWith(head, "EVF2\x0d\x0a\x81\x00", 8))
        return ImageFormat::Ewf;
    if (startsWith(head, "vhdxfile", 8)) return ImageFormat::Vhdx;
    if (startsWith(head, "conectix", 8) || startsWith(tail, "conectix", 8)) return ImageFormat::Vhd;
    if (startsWith(head, "KDMV", 4) || startsWith(head, "COWD", 4) || isVmdkDescriptor(head))
        return ImageFormat::Vmdk;
    if (startsWith(head, "QFI\xfb", 4)) return ImageFormat::Qcow;
    return ImageFormat::Raw;
}

OpenedSource openSource(const std::string& path) {
    OpenedSource out;
    out.files = {path};
    std::int64_t bytes = -1;
    {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            out.problem = std::string("cannot open: ") + std::strerror(errno);
            return out;
        }
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISBLK(st.st_mode)) {
            out.blockDevice = true;
            int logical = 0;
            if (::ioctl(fd, BLKSSZGET, &logical) == 0 && logical >= 512 && logical <= 65536)
                out.logicalSectorBytes = static_cast<std::uint32_t>(logical);
        }
        ::close(fd);
    }
    bytes = plainByteSizeOf(path);
    auto plain = openPlainReadOnly(path);
    if (!plain || bytes < 0) {
        out.problem = "cannot open";
        return out;
    }
    std::vector<std::uint8_t> head(512), tail(512);
    const std::int64_t headRead = plain->readAt(head.data(), head.size(), 0);
    head.resize(static_cast<std::size_t>(std::max<std::int64_t>(headRead, 0)));
    if (bytes >= 512) {
        const std::int64_t tailRead =
            plain->readAt(tail.data(), tail.size(), static_cast<std::uint64_t>(bytes - 512));
        tail.resize(static_cast<std::size_t>(std::max<std::int64_t>(tailRead, 0)));
    } else {
        tail.clear();
    }
    out.format = sniffImageFormat(head, tail);
    switch (out.format) {
        case ImageFormat::Raw:
            // A whole disk is read once from end to end and is larger than any page cache:
            // caching it only costs a copy of every byte and evicts everything else.
            out.file = out.blockDevice ? openDirectOrReadOnly(path) : std::move(plain);
            out.mediaBytes = bytes;
            return out;
        case ImageFormat::Ewf:
            return withFiles(openEwfImage(path), path);
        case ImageFormat::Vhd:
        case ImageFormat::Vhdx:
            return withFiles(openVhdiImage(path, out.format), path);
        case ImageFormat::Vmdk:
            return withFiles(openVmdkImage(path), path);
        case ImageFormat::Qcow:
            return withFiles(openQcowImage(path), path);
    }
    return out;
}

namespace {
std::atomic<unsigned> decodeThreads{0};
}

void setImageDecodeThreads(unsigned threads) {
    decodeThreads = threads;
}

unsigned imageDecodeThreads() {
    const unsigned chosen = decodeThreads.load();
    return chosen > 0 ? chosen : std::max(1u, std::thread::hardware_concurrency());
}

OutputGuard guardOfSource(const std::string& path, bool allowSourceDevice) {
    OutputGuard guard{path, allowSourceDevice, {}};
    if (path.empty()) return guard;
    for (const std::string& file : openSource(path).files)
        if (file != path) guard.keep(file, "part of the source being recovered");
    return guard;
}

std::unique_ptr<RandomAccessFile> openReadOnly(const std::string& path) {
    return openSource(path).file;
}

std::int64_t byteSizeOf(const std::string& path) {
    OpenedSource opened = openSource(path);
    return opened.file ? opened.mediaBytes : -1;
}

}  // namespace mdf
