#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace mdf::test {

// A fresh directory under the system's temp directory, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

void writeFile(const std::string& path, std::span<const std::uint8_t> bytes);
std::vector<std::uint8_t> readFile(const std::string& path);
// Writes bytes at offset, growing the file with zeros as needed.
void writeAt(const std::string& path, std::uint64_t offset, std::span<const std::uint8_t> bytes);

}  // namespace mdf::test
