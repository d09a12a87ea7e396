#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "source/image_format.h"

namespace mdf {

class Reporter;
struct SourceContext;

// What the source lists and volume facts show about a source: its kind ("disk", "partition",
// "volume", or the image format: "raw image", "EWF image", "qcow2 image" ...) and the logical
// sector size of the device or the image's disk.
struct SourceDescription {
    std::string kind;
    std::uint32_t sectorBytes = 512;
    std::int64_t mediaBytes = -1;
    std::string problem;  // why it cannot be read, when it cannot
};

// Opens path as the source choice would and tells what it is.
SourceDescription describeSource(const std::string& path);

// The logical sector size sysfs gives for a block device name (sda, sdb1) under root; 512 when
// it gives none.
std::uint32_t sysfsLogicalSectorBytes(const std::filesystem::path& root, const std::string& name);

// Reads of the source chosen next (and of the current one) treat everything the ddrescue map
// file at mapPath does not list as rescued as unreadable: the map wraps the source's opener.
// Tells in the scan log how much the map covers.
// False, with the problem (the line of a malformed map), when the map cannot be used; the
// source then stays as it was.
bool useRescueMap(SourceContext& ctx, const std::string& mapPath, std::string& problem);

}  // namespace mdf
