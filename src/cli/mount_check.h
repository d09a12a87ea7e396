#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace mdf::cli {

// A file system mounted read-write from the source, or from a partition of it.
struct ReadWriteMount {
    std::string mountPoint;
    std::string device;  // as mountinfo names it
};

// The read-write mounts in a /proc/self/mountinfo text whose device (major:minor) the predicate
// accepts. Lines that do not parse are skipped: the text is only used to warn.
std::vector<ReadWriteMount> readWriteMounts(
    std::string_view mountinfo, const std::function<bool(unsigned, unsigned)>& onSource);

// The read-write mounts of a block device or of one of its partitions, from this process's
// mountinfo and sysfs; none for an image file.
std::vector<ReadWriteMount> readWriteMountsOf(const std::string& path);

// Warns (on stderr, once per mount) that a source in use by a mounted file system changes under
// the scan and should be unmounted or imaged first.
void warnIfMountedReadWrite(const std::string& path);

}  // namespace mdf::cli
