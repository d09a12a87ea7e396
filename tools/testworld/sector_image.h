#pragma once

#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "testworld/page_builder.h"

namespace mdf::test {

// A sparse image file assembled sector by sector, for tests that need pages at exact places.
class SectorImage {
  public:
    SectorImage(std::string path, std::int64_t sectors);

    const std::string& path() const { return path_; }
    std::int64_t sectors() const { return sectors_; }
    void put(std::int64_t sector, std::span<const std::uint8_t> bytes);
    void put(std::int64_t sector, const PageBuilder& page) { put(sector, page.bytes()); }
    // Pages firstPage .. firstPage+count-1 made by make(pageId), one after another from sector.
    template <typename Make>
    void putRun(std::int64_t sector, std::int32_t firstPage, std::int32_t count, Make make) {
        for (std::int32_t i = 0; i < count; ++i)
            put(sector + 16 * std::int64_t{i}, make(firstPage + i));
    }

  private:
    std::string path_;
    std::int64_t sectors_;
};

}  // namespace mdf::test
