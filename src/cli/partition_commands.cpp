// partitions: the partition table of a disk or image, as --partition=N numbers it.
#include <fmt/core.h>

#include <array>
#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "cli/mount_check.h"
#include "cli/partition_listing.h"
#include "source/platform_file.h"
#include "source/sector_source.h"
#include "source/volume_layout.h"

namespace mdf::cli {
namespace {

void partitionsCommand(const std::string& path, bool json, ExitCode& exit) {
    if (byteSizeOf(path) < 0) {
        complain("cannot open {}: {}", path, std::strerror(errno));
        return exit.raise(kIoError);
    }
    warnIfMountedReadWrite(path);
    const DiskPartitions disk = readDiskPartitions(path);
    for (const std::string& problem : disk.problems)
        complain("partition table: {}", problem);
    if (json) {
        nlohmann::json out = {{"source", path},
                              {"sectors", disk.sectors},
                              {"scheme", disk.scheme},
                              {"table_sector_bytes", disk.tableSectorBytes},
                              {"partitions", nlohmann::json::array()}};
        if (!disk.fileSystem.empty()) out["file_system"] = disk.fileSystem;
        for (const ListedPartition& p : disk.partitions)
            out["partitions"].push_back({{"number", p.entry.number},
                                         {"start", p.entry.firstSector},
                                         {"sectors", p.entry.sectorCount},
                                         {"end", p.entry.firstSector + p.entry.sectorCount - 1},
                                         {"type", p.entry.typeName},
                                         {"file_system", p.fileSystem}});
        out["status"] = disk.partitions.empty() ? "nothing found" : "complete";
        fmt::print("{}\n", out.dump(2));
    } else if (!disk.fileSystem.empty()) {
        fmt::print("{}: no partition table; the source is a {} volume of {} sectors ({})\n", path,
                   disk.fileSystem, disk.sectors, humanSize(disk.sectors));
        fmt::print("read it with --partition (no number)\n");
    } else if (disk.partitions.empty()) {
        fmt::print("{}: no partition table ({} sectors, {})\n", path, disk.sectors,
                   humanSize(disk.sectors));
    } else {
        fmt::print("{} partition table of {} ({} sectors of 512 bytes, {})\n", disk.scheme, path,
                   disk.sectors, humanSize(disk.sectors));
        // Every number below, and --partition=N's, counts 512-byte sectors whatever the table's.
        if (disk.tableSectorBytes != 512)
            fmt::print("the table counts {}-byte sectors; the numbers below are 512-byte ones\n",
                       disk.tableSectorBytes);
        fmt::print("\n");
        fmt::print("{:>3}  {:>12}  {:>12}  {:>12}  {:>10}  {:<24} {}\n", "no.", "start", "end",
                   "sectors", "size", "type", "file system");
        for (const ListedPartition& p : disk.partitions)
            fmt::print("{:>3}  {:>12}  {:>12}  {:>12}  {:>10}  {:<24} {}\n", p.entry.number,
                       p.entry.firstSector, p.entry.firstSector + p.entry.sectorCount - 1,
                       p.entry.sectorCount, humanSize(p.entry.sectorCount), p.entry.typeName,
                       p.fileSystem);
    }
    if (disk.partitions.empty() && disk.fileSystem.empty()) exit.raise(kNothingFound);
}

}  // namespace

void addPartitionCommands(CLI::App& app, ExitCode& exit) {
    struct Options {
        std::string path;
        bool json = false;
    };
    auto o = std::make_shared<Options>();
    auto* partitions = app.add_subcommand(
        "partitions",
        "The partition table of a disk or image: number, start, size, type, file "
        "system (the numbers --partition=N takes)");
    partitions->add_option("SOURCE", o->path, "Image file or block device (read only)")->required();
    partitions->add_flag("--json", o->json, "Machine-readable output");
    partitions->callback([o, &exit] { partitionsCommand(o->path, o->json, exit); });
}

}  // namespace mdf::cli
