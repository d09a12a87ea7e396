#pragma once

#include <unistd.h>

#include <filesystem>
#include <initializer_list>
#include <string>
#include <system_error>
#include <vector>

namespace mdf::fuzz {

// A file name in the temporary directory, one per fuzzing process, for code that only reads
// through paths. Held in a static, it is removed with the names beside it when the process
// ends, so a run of millions of inputs leaves nothing behind.
class ScratchPath {
  public:
    ScratchPath(const std::string& stem, const std::string& extension,
                std::initializer_list<const char*> besideSuffixes = {})
        : path_((std::filesystem::temp_directory_path() /
                 (stem + "-" + std::to_string(::getpid()) + extension))
                    .string()) {
        for (const char* suffix : besideSuffixes)
            beside_.push_back(path_ + suffix);
    }
    ~ScratchPath() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
        for (const std::string& path : beside_)
            std::filesystem::remove(path, ignored);
    }
    ScratchPath(const ScratchPath&) = delete;
    ScratchPath& operator=(const ScratchPath&) = delete;

    const std::string& str() const { return path_; }

  private:
    std::string path_;
    std::vector<std::string> beside_;
};

}  // namespace mdf::fuzz
