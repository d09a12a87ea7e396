#include "cli/mount_check.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <fstream>
#include <sstream>

#include "cli/exit_codes.h"

namespace mdf::cli {

std::vector<ReadWriteMount> readWriteMounts(
    std::string_view mountinfo, const std::function<bool(unsigned, unsigned)>& onSource) {
    std::vector<ReadWriteMount> found;
    std::istringstream lines{std::string(mountinfo)};
    std::string line;
    while (std::getline(lines, line)) {
        // id parent major:minor root mount-point options [optional...] - type source super-options
        std::istringstream fields(line);
        std::string id, parent, devNumbers, root, mountPoint, options;
        if (!(fields >> id >> parent >> devNumbers >> root >> mountPoint >> options)) continue;
        unsigned major = 0, minor = 0;
        char colon = 0;
        std::istringstream numbers(devNumbers);
        if (!(numbers >> major >> colon >> minor) || colon != ':') continue;
        if (options.substr(0, 2) != "rw" || (options.size() > 2 && options[2] != ',')) continue;
        if (!onSource(major, minor)) continue;
        std::string word, type, device;
        while (fields >> word && word != "-") {
        }
        fields >> type >> device;
        found.push_back({mountPoint, device});
    }
    return found;
}

namespace {

// The whole disk a block device belongs to: itself, or the disk a partition lies on.
std::string diskOf(unsigned major, unsigned minor) {
    const std::string base =
        "/sys/dev/block/" + std::to_string(major) + ":" + std::to_string(minor);
    std::ifstream partition(base + "/partition");
    if (!partition) return std::to_string(major) + ":" + std::to_string(minor);
    std::ifstream parentDev(base + "/../dev");
    std::string dev;
    std::getline(parentDev, dev);
    return dev;
}

}  // namespace

std::vector<ReadWriteMount> readWriteMountsOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return {};
    const unsigned major = ::major(st.st_rdev), minor = ::minor(st.st_rdev);
    const std::string self = std::to_string(major) + ":" + std::to_string(minor);
    // A whole disk is in use when any of its partitions is mounted.
    std::ifstream isPartition("/sys/dev/block/" + self + "/partition");
    const bool wholeDisk = !isPartition;
    std::ifstream in("/proc/self/mountinfo");
    std::stringstream text;
    text << in.rdbuf();
    return readWriteMounts(text.str(), [&](unsigned ma, unsigned mi) {
        if (ma == major && mi == minor) return true;
        return wholeDisk && diskOf(ma, mi) == self;
    });
}

void warnIfMountedReadWrite(const std::string& path) {
    for (const ReadWriteMount& m : readWriteMountsOf(path))
        complain(
            "{} is mounted read-write on {}: unmount it, or work from an image of it, before "
            "recovering",
            m.device.empty() ? path : m.device, m.mountPoint);
}

}  // namespace mdf::cli
