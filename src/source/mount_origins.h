#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace mdf {

// What the file system on a device number is mounted from, as far as this machine tells: block
// devices (the device itself, the disk a partition lies on, the devices under a device-mapper or
// RAID device) and image files (the file behind a loop device, the file a FUSE file system such
// as ntfs-3g was mounted from).
struct MountOrigins {
    std::vector<dev_t> devices;
    std::vector<std::string> files;
};

// From a /proc/self/mountinfo text, and sysfs for what lies under each device.
MountOrigins mountOriginsOf(dev_t fileSystem, std::string_view mountinfo);
// From this process's own mount table.
MountOrigins mountOriginsOf(dev_t fileSystem);

// The whole disk a block device belongs to (the device itself when it is one).
dev_t wholeDiskOf(dev_t device);

// The file behind a loop device (or behind the loop device a partition lies on); empty when the
// device is no loop device or has no file.
std::string loopBackingFile(dev_t device);

// The mount sources a mountinfo text names for a device number, unescaped ("\040" is a blank).
std::vector<std::string> mountSourcesOf(dev_t fileSystem, std::string_view mountinfo);

}  // namespace mdf
