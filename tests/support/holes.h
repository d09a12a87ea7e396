#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace mdf::test {

// Whether files in folder keep holes (a file written only at 1 MiB begins with one): what tests of
// sparse files need of the file system under them.
inline bool keepsHoles(const std::string& folder) {
    const std::string probe = (std::filesystem::path(folder) / "hole-probe").string();
    const int fd = ::open(probe.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return false;
    const char byte = 1;
    const bool holes = ::pwrite(fd, &byte, 1, 1 << 20) == 1 && ::lseek(fd, 0, SEEK_HOLE) == 0;
    ::close(fd);
    std::filesystem::remove(probe);
    return holes;
}

}  // namespace mdf::test
