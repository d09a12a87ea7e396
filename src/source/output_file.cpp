#include "source/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace mdf {
namespace fs = std::filesystem;
namespace {

constexpr std::size_t kBufferBytes = 1 << 20;

std::string reason(int error) {
    return std::strerror(error);
}

// The whole disk a block device belongs to (the device itself when it is one).
dev_t wholeDiskOf(dev_t device) {
    const std::string base =
        "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
    std::error_code ec;
    if (!fs::exists(base + "/partition", ec)) return device;
    std::ifstream parent(fs::canonical(base, ec).parent_path() / "dev");
    unsigned maj = 0, min = 0;
    char colon = 0;
    if (parent >> maj >> colon >> min) return makedev(maj, min);
    return device;
}

}  // namespace

std::string OutputGuard::refusal(const std::string& path) const {
    if (path.empty()) return "no output file was given";
    struct stat out {};
    const bool exists = ::stat(path.c_str(), &out) == 0;
    struct stat src {};
    const bool haveSource = !sourcePath.empty() && ::stat(sourcePath.c_str(), &src) == 0;
    if (exists) {
        if (haveSource && out.st_dev == src.st_dev && out.st_ino == src.st_ino)
            return path + " is the source being recovered (or a link to it); write elsewhere";
        if (S_ISBLK(out.st_mode) || S_ISCHR(out.st_mode))
            return path + " is a device; the tool writes only to files";
        if (S_ISDIR(out.st_mode)) return path + " is a folder; give a file name";
    }
    const fs::path folder = fs::absolute(path).parent_path();
    struct stat dir {};
    if (::stat(folder.c_str(), &dir) != 0) return folder.string() + ": " + reason(errno);
    if (!S_ISDIR(dir.st_mode)) return folder.string() + " is not a folder";
    if (haveSource && S_ISBLK(src.st_mode) && !allowSourceDevice &&
        (dir.st_dev == src.st_rdev || wholeDiskOf(dir.st_dev) == src.st_rdev))
        return path +
               " lies on the device being recovered: writing there can overwrite what is to be "
               "recovered; write to another disk";
    return {};
}

OutputFile::OutputFile(std::string path, const OutputGuard& guard)
    : path_(std::move(path)), partialPath_(path_ + ".partial") {
    error_ = guard.refusal(path_);
    if (!error_.empty()) return;
    fd_ = ::open(partialPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        error_ = "cannot create " + partialPath_ + ": " + reason(errno);
        return;
    }
    buffer_.reserve(kBufferBytes);
}

OutputFile::~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_ && !partialPath_.empty() && fd_ >= 0) ::unlink(partialPath_.c_str());
}

void OutputFile::fail(const std::string& what) {
    if (error_.empty()) error_ = what + " " + partialPath_ + ": " + reason(errno);
}

bool OutputFile::flushBuffer() {
    std::size_t done = 0;
    while (done < buffer_.size()) {
        const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("cannot write");
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            fail("cannot write");
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    buffer_.clear();
    return true;
}

bool OutputFile::write(std::span<const std::uint8_t> bytes) {
    if (!ok()) return false;
    while (!bytes.empty()) {
        const std::size_t room = kBufferBytes - buffer_.size();
        const std::size_t n = std::min(room, bytes.size());
        buffer_.insert(buffer_.end(), bytes.begin(),
                       bytes.begin() + static_cast<std::ptrdiff_t>(n));
        bytes = bytes.subspan(n);
        written_ += n;
        if (buffer_.size() == kBufferBytes && !flushBuffer()) return false;
    }
    return true;
}

bool OutputFile::writeZeros(std::uint64_t count) {
    static const std::vector<std::uint8_t> zeros(kBufferBytes, 0);
    while (count > 0) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(count, zeros.size()));
        if (!write(std::span(zeros.data(), n))) return false;
        count -= n;
    }
    return ok();
}

bool OutputFile::commit() {
    if (!ok() || !flushBuffer()) return false;
    if (::fsync(fd_) != 0) {
        fail("cannot flush");
        return false;
    }
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        fail("cannot close");
        ::unlink(partialPath_.c_str());
        return false;
    }
    if (::rename(partialPath_.c_str(), path_.c_str()) != 0) {
        fail("cannot rename");
        ::unlink(partialPath_.c_str());
        return false;
    }
    committed_ = true;
    // The rename itself must reach the disk too.
    const int dir = ::open(fs::absolute(path_).parent_path().c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

}  // namespace mdf
