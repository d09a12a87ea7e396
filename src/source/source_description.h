#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "source/image_format.h"

namespace mdf {

// What the source lists and volume facts show about a source: its kind ("disk", "partition",
// "volume", or the image format: "raw image", "EWF image", "qcow2 image" ...) and the logical
// sector size of the device or the image's disk.
struct SourceDescription {
    std::string kind;
    std::uint32_t sectorBytes = 512;
    std::int64_t mediaBytes = -1;
    std::string problem;   // why it cannot be read, when it cannot
    bool refused = false;  // read, but not usable as it is (OpenedSource::refused)
};

// Opens path as the source choice would and tells what it is.
SourceDescription describeSource(const std::string& path);

// The logical sector size sysfs gives for a block device name (sda, sdb1) under root; 512 when
// it gives none.
std::uint32_t sysfsLogicalSectorBytes(const std::filesystem::path& root, const std::string& name);

}  // namespace mdf
