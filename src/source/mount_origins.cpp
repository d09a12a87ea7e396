#include "source/mount_origins.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

namespace mdf {
namespace fs = std::filesystem;
namespace {

std::string sysfsOf(dev_t device) {
    return "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

bool isBlockDevice(dev_t device) {
    std::error_code ec;
    return fs::exists(sysfsOf(device), ec);
}

std::optional<dev_t> deviceIn(const fs::path& devFile) {
    std::ifstream in(devFile);
    unsigned maj = 0, min = 0;
    char colon = 0;
    if (in >> maj >> colon >> min && colon == ':') return makedev(maj, min);
    return std::nullopt;
}

// mountinfo writes blanks, tabs, newlines and backslashes in octal.
std::string unescape(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string digits = field.substr(i + 1, 3);
            if (digits.size() == 3 && std::all_of(digits.begin(), digits.end(),
                                                  [](char c) { return c >= '0' && c <= '7'; })) {
                out += static_cast<char>(std::stoi(digits, nullptr, 8));
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return out;
}

void addDevice(MountOrigins& origins, dev_t device, int depth) {
    if (depth > 8 ||
        std::find(origins.devices.begin(), origins.devices.end(), device) != origins.devices.end())
        return;
    origins.devices.push_back(device);
    if (const dev_t disk = wholeDiskOf(device); disk != device) addDevice(origins, disk, depth + 1);
    if (std::string file = loopBackingFile(device); !file.empty()) origins.files.push_back(file);
    // A device-mapper or RAID device lies on the devices sysfs lists as its slaves.
    std::error_code ec;
    for (const auto& slave : fs::directory_iterator(sysfsOf(device) + "/slaves", ec))
        if (auto d = deviceIn(slave.path() / "dev")) addDevice(origins, *d, depth + 1);
}

}  // namespace

dev_t wholeDiskOf(dev_t device) {
    const std::string base = sysfsOf(device);
    std::error_code ec;
    if (!fs::exists(base + "/partition", ec)) return device;
    if (auto parent = deviceIn(fs::canonical(base, ec).parent_path() / "dev")) return *parent;
    return device;
}

std::string loopBackingFile(dev_t device) {
    std::ifstream in(sysfsOf(wholeDiskOf(device)) + "/loop/backing_file");
    std::string file;
    std::getline(in, file);
    // A backing file deleted since reads "PATH (deleted)": nothing of it can be reached by name.
    if (file.size() > 10 && file.ends_with(" (deleted)")) return {};
    return file;
}

std::vector<std::string> mountSourcesOf(dev_t fileSystem, std::string_view mountinfo) {
    std::vector<std::string> sources;
    std::istringstream lines{std::string(mountinfo)};
    std::string line;
    while (std::getline(lines, line)) {
        // id parent major:minor root mount-point options [optional...] - type source super-options
        std::istringstream fields(line);
        std::string id, parent, numbers;
        if (!(fields >> id >> parent >> numbers)) continue;
        unsigned maj = 0, min = 0;
        char colon = 0;
        std::istringstream n(numbers);
        if (!(n >> maj >> colon >> min) || colon != ':' || makedev(maj, min) != fileSystem)
            continue;
        std::string word, type, source;
        while (fields >> word && word != "-") {
        }
        if (fields >> type >> source) sources.push_back(unescape(source));
    }
    return sources;
}

MountOrigins mountOriginsOf(dev_t fileSystem, std::string_view mountinfo) {
    MountOrigins origins;
    if (isBlockDevice(fileSystem)) addDevice(origins, fileSystem, 0);
    for (const std::string& source : mountSourcesOf(fileSystem, mountinfo)) {
        struct stat st {};
        if (source.empty() || source[0] != '/' || ::stat(source.c_str(), &st) != 0) continue;
        if (S_ISBLK(st.st_mode))
            addDevice(origins, st.st_rdev, 0);
        else if (S_ISREG(st.st_mode))
            origins.files.push_back(source);
    }
    return origins;
}

MountOrigins mountOriginsOf(dev_t fileSystem) {
    std::ifstream in("/proc/self/mountinfo");
    std::stringstream text;
    text << in.rdbuf();
    return mountOriginsOf(fileSystem, text.str());
}

}  // namespace mdf
