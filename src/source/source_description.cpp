#include "source/source_description.h"

#include <fmt/core.h>

#include <fstream>

#include "source/source_selection.h"

namespace mdf {

SourceDescription describeSource(const std::string& path) {
    SourceDescription out;
    OpenedSource opened = openSource(path);
    out.sectorBytes = opened.logicalSectorBytes;
    out.mediaBytes = opened.mediaBytes;
    out.problem = opened.problem;
    out.refused = opened.refused;
    if (opened.blockDevice && opened.format == ImageFormat::Raw) {
        const std::string name = std::filesystem::path(path).filename().string();
        const bool partition =
            std::filesystem::exists(std::filesystem::path("/sys/class/block") / name / "partition");
        out.kind = partition ? "partition" : "disk";
    } else {
        out.kind = fmt::format("{} image", imageFormatName(opened.format));
    }
    return out;
}

std::uint32_t sysfsLogicalSectorBytes(const std::filesystem::path& root, const std::string& name) {
    const std::filesystem::path block = root / "sys/class/block" / name;
    for (const auto& candidate :
         {block / "queue/logical_block_size", block / "../queue/logical_block_size"}) {
        std::ifstream in(candidate);
        std::uint32_t bytes = 0;
        if (in >> bytes && bytes >= 512 && bytes <= 65536) return bytes;
    }
    return 512;
}

}  // namespace mdf
