#include "source/output_guard.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>

#include "source/mount_origins.h"

namespace mdf {
namespace fs = std::filesystem;
namespace {

constexpr const char* kSourceRole = "the source being recovered";

// What the guard keeps, as the file system names it (device and inode), and the block devices
// it must not write on.
struct Kept {
    struct File {
        dev_t dev;
        ino_t ino;
        std::string role;
    };
    std::vector<File> files;
    std::vector<dev_t> devices;  // whole disks

    const File* find(const struct stat& st) const {
        for (const File& f : files)
            if (f.dev == st.st_dev && f.ino == st.st_ino) return &f;
        return nullptr;
    }
    bool onDevice(dev_t device) const {
        return std::find(devices.begin(), devices.end(), wholeDiskOf(device)) != devices.end();
    }
};

void addFile(Kept& kept, const std::string& path, const std::string& role) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) return;
    kept.files.push_back({st.st_dev, st.st_ino, role});
    if (S_ISBLK(st.st_mode)) {
        kept.devices.push_back(wholeDiskOf(st.st_rdev));
        // A loop device reads its image: writing the image writes the source.
        addFile(kept, loopBackingFile(st.st_rdev),
                "the image behind the loop device being recovered");
    }
}

Kept keptBy(const OutputGuard& guard) {
    Kept kept;
    addFile(kept, guard.sourcePath, kSourceRole);
    for (const GuardedFile& f : guard.others)
        addFile(kept, f.path, f.role);
    return kept;
}

std::string reason(int error) {
    return std::strerror(error);
}

}  // namespace

OutputGuard& OutputGuard::keep(const std::string& path, const std::string& role) {
    if (!path.empty()) others.push_back({path, role});
    return *this;
}

std::string OutputGuard::replaceRefusal(const struct stat& existing,
                                        const std::string& output) const {
    const Kept kept = keptBy(*this);
    if (const Kept::File* f = kept.find(existing))
        return output + " is " + f->role + " (or a link to it); write elsewhere";
    if (S_ISBLK(existing.st_mode) || S_ISCHR(existing.st_mode))
        return output + " is a device; the tool writes only to files";
    if (S_ISDIR(existing.st_mode)) return output + " is a folder; give a file name";
    return {};
}

std::string OutputGuard::folderRefusal(int folderFd, const std::string& output) const {
    if (allowSourceDevice) return {};
    struct stat dir {};
    if (::fstat(folderFd, &dir) != 0) return output + ": " + reason(errno);
    const Kept kept = keptBy(*this);
    if (kept.devices.empty() && kept.files.empty()) return {};
    const MountOrigins origins = mountOriginsOf(dir.st_dev);
    const std::string overwrite =
        ": writing there can overwrite what is to be recovered; write to another disk";
    for (dev_t device : origins.devices)
        if (kept.onDevice(device))
            return output + " lies on the device being recovered" + overwrite;
    for (const std::string& file : origins.files) {
        struct stat st {};
        if (::stat(file.c_str(), &st) != 0) continue;
        if (const Kept::File* f = kept.find(st))
            return output + " lies on a file system mounted from " + f->role + " (" + file + ")" +
                   overwrite;
    }
    return {};
}

std::string OutputGuard::refusal(const std::string& path) const {
    if (path.empty()) return "no output file was given";
    struct stat out {};
    if (::stat(path.c_str(), &out) == 0)
        if (std::string why = replaceRefusal(out, path); !why.empty()) return why;
    std::error_code ec;
    const fs::path folder = fs::absolute(path, ec).parent_path();
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOTDIR) return folder.string() + " is not a folder";
        return folder.string() + ": " + reason(errno);
    }
    std::string why = folderRefusal(fd, path);
    ::close(fd);
    return why;
}

int OutputGuard::openFolderOf(const std::string& output, std::string& name,
                              std::string& why) const {
    why = refusal(output);
    if (!why.empty()) return -1;
    std::error_code ec;
    const fs::path absolute = fs::absolute(output, ec);
    name = absolute.filename().string();
    const int folder = ::open(absolute.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        why = absolute.parent_path().string() + ": " + reason(errno);
        return -1;
    }
    why = folderRefusal(folder, output);
    if (why.empty()) return folder;
    ::close(folder);
    return -1;
}

}  // namespace mdf
