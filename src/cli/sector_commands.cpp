// read-sectors and check-page: looking at raw bytes before anything is interpreted.
#include <fmt/core.h>

#include <cctype>
#include <memory>
#include <vector>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "scan/page_header.h"
#include "source/platform_file.h"
#include "source/sector_source.h"

namespace mdf::cli {
namespace {

void hexDump(const std::uint8_t* data, std::size_t size, std::uint64_t firstOffset) {
    for (std::size_t line = 0; line < size; line += 16) {
        std::string hex, text;
        for (std::size_t i = line; i < line + 16 && i < size; ++i) {
            hex += fmt::format("{:02x} ", data[i]);
            text += std::isprint(data[i]) ? static_cast<char>(data[i]) : '.';
        }
        fmt::print("{:012x}  {:<48} {}\n", firstOffset + line, hex, text);
    }
}

void readSectorsCommand(const std::string& path, std::int64_t sector, std::uint32_t count,
                        ExitCode& exit) {
    std::int64_t bytes = byteSizeOf(path);
    if (bytes < 0) {
        complain("cannot open {} (an image file or a block device is needed)", path);
        return exit.raise(kIoError);
    }
    if (sector < 0 || sector >= bytes / kSectorSize) {
        complain("sector {} lies outside {} ({} sectors)", sector, path, bytes / kSectorSize);
        return exit.raise(kBadInput);
    }
    SectorSource source;
    source.select(SourceKind::ImageFile, path, bytes / kSectorSize);
    source.setReadLimit(bytes / kSectorSize);
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(count) * kSectorSize);
    if (!source.readSectors(count, buffer.data(), sector)) {
        complain("read disk error: {} sectors at sector {} of {}", count, sector, path);
        return exit.raise(kIoError);
    }
    // A read cut at the end of the source delivers only what lies inside it.
    buffer.resize(static_cast<std::size_t>(source.readableCount(sector, count)) * kSectorSize);
    hexDump(buffer.data(), buffer.size(), static_cast<std::uint64_t>(sector) * kSectorSize);
}

void checkPageCommand(const std::string& path, std::uint64_t offset, std::uint16_t fileId,
                      ExitCode& exit) {
    auto file = openReadOnly(path);
    PageHeader h;
    if (!file || file->readAt(h.bytes.data(), h.bytes.size(), offset) != kPageHeaderSize) {
        complain("cannot read 96 bytes at offset {} of {}", offset, path);
        return exit.raise(kIoError);
    }
    auto yesNo = [](bool b) { return b ? "yes" : "no"; };
    fmt::print("page id {}  type {}  file id {}  object id {}  slots {}  level {}\n", h.pageId(),
               h.pageType(), h.fileId(), h.objectId(), h.slotCount(), h.level());
    fmt::print("isDataPage        {}\n", yesNo(isDataPage(h, fileId)));
    fmt::print("isFileHeaderPage  {}\n", yesNo(isFileHeaderPage(h, fileId)));
    fmt::print("isPfsPage         {}\n", yesNo(isPfsPage(h, fileId)));
    fmt::print("continuesRun      {} (file id {}, page id {})\n",
               yesNo(continuesRun(fileId, h.pageId(), h, fileId)), fileId, h.pageId());
}

}  // namespace

void addSectorCommands(CLI::App& app, ExitCode& exit) {
    struct ReadOptions {
        std::string path;
        std::int64_t sector = 0;
        std::uint32_t count = 1;
    };
    auto ro = std::make_shared<ReadOptions>();
    auto* read = app.add_subcommand("read-sectors", "Hex dump of sectors of a device or image");
    read->add_option("SOURCE", ro->path, "Block device or image file")->required();
    read->add_option("--sector", ro->sector, "First sector (512-byte units)")->required();
    read->add_option("--count", ro->count, "Number of sectors")->check(CLI::Range(1, 65535));
    read->callback([ro, &exit] { readSectorsCommand(ro->path, ro->sector, ro->count, exit); });

    struct CheckOptions {
        std::string path;
        std::uint64_t offset = 0;
        std::uint16_t fileId = 1;
    };
    auto co = std::make_shared<CheckOptions>();
    auto* check = app.add_subcommand("check-page", "Which page header tests hold at an offset");
    check->add_option("FILE", co->path, "Image or database file")->required();
    check->add_option("--offset", co->offset, "Byte offset of the page")->required();
    check->add_option("--file-id", co->fileId, "File id the page must carry");
    check->callback([co, &exit] { checkPageCommand(co->path, co->offset, co->fileId, exit); });
}

}  // namespace mdf::cli
