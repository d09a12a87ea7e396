#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace mdf {

// A physical disk as the data-source menu lists it.
struct DiskEntry {
    int number = 0;          // position among the block devices, absent ones included
    std::string name;        // sda
    std::string devicePath;  // /dev/sda
    std::int64_t sectors = 0;
    bool removable = false;
    std::string caption;  // "Local disk 0 (465.76 GB) "
};

// A volume: a partition, or a file system mounted from a whole device.
struct VolumeEntry {
    std::string devicePath;  // /dev/sdb1
    std::string label;       // as the file system stores it
    std::int64_t sizeBytes = 0;
    std::string displayName;  // "/dev/sdb1 [DATA]"
    std::string caption;      // "Driver /dev/sdb1 [DATA] "
};

// Reads a file system's label from a device node or image; empty when there is none.
using LabelReader = std::function<std::string(const std::string& devicePath)>;
std::string readBlkidLabel(const std::string& devicePath);

inline constexpr int kMaxDiskEntries = 32;
inline constexpr int kMaxVolumeEntries = 26;

// The disks and volumes of the running system, read from sysfs and /proc/self/mountinfo under a
// root directory that tests replace by a tree of their own.
class DeviceCatalog {
  public:
    explicit DeviceCatalog(std::filesystem::path root = "/", LabelReader labels = readBlkidLabel);

    std::vector<DiskEntry> listDisks() const;
    std::vector<VolumeEntry> listVolumes() const;
    // The disk's size in sectors now, or nothing when it has no medium or is gone.
    std::optional<std::int64_t> probeDisk(const std::string& name) const;

  private:
    std::vector<std::string> blockDeviceNames() const;
    bool isRemovable(const std::string& name) const;
    std::string devicePath(const std::string& name) const;
    VolumeEntry makeVolume(const std::string& name, std::int64_t sectors) const;

    std::filesystem::path root_;
    LabelReader labels_;
};

// "465.76 GB)" or "999.99 MB)": sectors / 2048 MB, in GB from 1000 MB on.
std::string diskSizeText(std::int64_t sectors);
std::string diskCaption(int number, std::int64_t sectors, bool removable);
// "[DATA]" from the label "data"; "[]" without one.
std::string volumeLabelText(const std::string& label);

}  // namespace mdf
