#include "source/device_catalog.h"

#include <blkid/blkid.h>
#include <fmt/core.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>
#include <sstream>

namespace mdf {
namespace fs = std::filesystem;
namespace {

std::optional<std::string> readFirstLine(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) return std::nullopt;
    return line;
}

std::optional<std::int64_t> readNumber(const fs::path& path) {
    auto line = readFirstLine(path);
    if (!line) return std::nullopt;
    try {
        return std::stoll(*line);
    } catch (...) {
        return std::nullopt;
    }
}

// RAM disks are no place a database file was ever lost on.
bool isCandidateDisk(const std::string& name) {
    return name.rfind("ram", 0) != 0 && name.rfind("zram", 0) != 0;
}

}  // namespace

std::string readBlkidLabel(const std::string& devicePath) {
    blkid_probe probe = blkid_new_probe_from_filename(devicePath.c_str());
    if (!probe) return {};
    std::string label;
    blkid_probe_enable_superblocks(probe, 1);
    blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_LABEL);
    if (blkid_do_safeprobe(probe) == 0) {
        const char* value = nullptr;
        if (blkid_probe_lookup_value(probe, "LABEL", &value, nullptr) == 0 && value) label = value;
    }
    blkid_free_probe(probe);
    return label;
}

DeviceCatalog::DeviceCatalog(fs::path root, LabelReader labels)
    : root_(std::move(root)), labels_(std::move(labels)) {}

std::vector<std::string> DeviceCatalog::blockDeviceNames() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(root_ / "sys/block", ec)) {
        std::string name = entry.path().filename().string();
        if (isCandidateDisk(name)) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<std::int64_t> DeviceCatalog::probeDisk(const std::string& name) const {
    auto sectors = readNumber(root_ / "sys/block" / name / "size");
    if (!sectors || *sectors <= 0) return std::nullopt;
    return sectors;
}

bool DeviceCatalog::isRemovable(const std::string& name) const {
    if (readFirstLine(root_ / "sys/block" / name / "removable").value_or("0") == "1") return true;
    // USB disks often call themselves fixed; their place on the bus tells the truth.
    std::error_code ec;
    fs::path real = fs::canonical(root_ / "sys/block" / name, ec);
    return !ec && real.string().find("/usb") != std::string::npos;
}

std::string DeviceCatalog::devicePath(const std::string& name) const {
    return (root_ / "dev" / name).lexically_normal().string();
}

std::vector<DiskEntry> DeviceCatalog::listDisks() const {
    std::vector<DiskEntry> disks;
    auto names = blockDeviceNames();
    for (std::size_t n = 0; n < names.size() && disks.size() < kMaxDiskEntries; ++n) {
        auto sectors = probeDisk(names[n]);
        if (!sectors) continue;
        DiskEntry d;
        d.number = static_cast<int>(n);
        d.name = names[n];
        d.devicePath = devicePath(names[n]);
        d.sectors = *sectors;
        d.removable = isRemovable(names[n]);
        d.caption = diskCaption(d.number, d.sectors, d.removable);
        disks.push_back(std::move(d));
    }
    return disks;
}

VolumeEntry DeviceCatalog::makeVolume(const std::string& name, std::int64_t sectors) const {
    VolumeEntry v;
    v.devicePath = devicePath(name);
    v.label = labels_ ? labels_(v.devicePath) : std::string();
    v.sizeBytes = sectors * 512;
    v.displayName = v.devicePath + " " + volumeLabelText(v.label);
    v.caption = "Driver " + v.displayName + " ";
    return v;
}

std::vector<VolumeEntry> DeviceCatalog::listVolumes() const {
    std::vector<VolumeEntry> volumes;
    std::set<std::string> seen;
    auto add = [&](const std::string& name, std::int64_t sectors) {
        if (volumes.size() >= kMaxVolumeEntries || !seen.insert(name).second) return;
        volumes.push_back(makeVolume(name, sectors));
    };
    std::error_code ec;
    for (const std::string& disk : blockDeviceNames()) {
        std::vector<std::string> parts;
        for (const auto& entry : fs::directory_iterator(root_ / "sys/block" / disk, ec))
            if (fs::exists(entry.path() / "partition"))
                parts.push_back(entry.path().filename().string());
        std::sort(parts.begin(), parts.end());
        for (const std::string& part : parts)
            if (auto sectors = readNumber(root_ / "sys/block" / disk / part / "size");
                sectors && *sectors > 0)
                add(part, *sectors);
    }
    // File systems mounted straight from a whole device have no partition entry.
    std::ifstream mountinfo(root_ / "proc/self/mountinfo");
    for (std::string line; std::getline(mountinfo, line);) {
        std::size_t dash = line.find(" - ");
        if (dash == std::string::npos) continue;
        std::istringstream rest(line.substr(dash + 3));
        std::string fsType, source;
        rest >> fsType >> source;
        if (source.rfind("/dev/", 0) != 0) continue;
        std::string name = source.substr(5);
        if (auto sectors = probeDisk(name)) add(name, *sectors);
    }
    return volumes;
}

std::string diskSizeText(std::int64_t sectors) {
    double mb = static_cast<double>(sectors) / 2048.0;
    if (mb >= 1000) return fmt::format("{:.2f} GB)", mb / 1024.0);
    return fmt::format("{:.2f} MB)", mb);
}

std::string diskCaption(int number, std::int64_t sectors, bool removable) {
    return fmt::format("{}{} ({} ", removable ? "USB disk " : "Local disk ", number,
                       diskSizeText(sectors));
}

std::string volumeLabelText(const std::string& label) {
    std::string upper = label;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return "[" + upper + "]";
}

}  // namespace mdf
