// sources and volume-info: what can be read, and what a volume's boot sector says.
#include <fmt/core.h>

#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "cli/console_reporter.h"
#include "cli/source_options.h"
#include "source/device_catalog.h"
#include "source/free_space_map.h"
#include "source/source_description.h"

namespace mdf::cli {
namespace {

std::uint32_t volumeSectorBytes(const VolumeEntry& v) {
    return sysfsLogicalSectorBytes("/", std::filesystem::path(v.devicePath).filename().string());
}

void listSources(bool json) {
    DeviceCatalog catalog;
    auto disks = catalog.listDisks();
    auto volumes = catalog.listVolumes();
    if (json) {
        nlohmann::json out = {{"disks", nlohmann::json::array()},
                              {"volumes", nlohmann::json::array()}};
        for (const auto& d : disks)
            out["disks"].push_back({{"caption", d.caption},
                                    {"device", d.devicePath},
                                    {"number", d.number},
                                    {"sectors", d.sectors},
                                    {"kind", "disk"},
                                    {"sector_bytes", sysfsLogicalSectorBytes("/", d.name)},
                                    {"removable", d.removable}});
        for (const auto& v : volumes)
            out["volumes"].push_back({{"caption", v.caption},
                                      {"device", v.devicePath},
                                      {"label", v.label},
                                      {"bytes", v.sizeBytes},
                                      {"kind", "partition"},
                                      {"sector_bytes", volumeSectorBytes(v)}});
        fmt::print("{}\n", out.dump(2));
        return;
    }
    fmt::print("Open disk img file\n");
    for (const auto& d : disks)
        fmt::print("{}\t{}\tdisk, {}-byte sectors\n", d.caption, d.devicePath,
                   sysfsLogicalSectorBytes("/", d.name));
    fmt::print("-\n");
    for (const auto& v : volumes)
        fmt::print("{}\t{}\tpartition, {}-byte sectors\n", v.caption, v.devicePath,
                   volumeSectorBytes(v));
}

// Clusters of the volume in use and free, as the free-space map tells them.
std::pair<std::int64_t, std::int64_t> countClusters(const RecoverySession& s) {
    const VolumeLayout& v = s.volume();
    if (v.sectorsPerCluster == 0) return {0, 0};
    const std::int64_t volumeSectors = s.source().sourceSectors() + 1;
    std::int64_t first = v.fsKind == "FAT32" ? 2 : 0;
    std::int64_t count = (volumeSectors - v.dataStartSector) / v.sectorsPerCluster;
    if (v.fsKind == "exFAT" || v.fsKind == "ext4") count = v.clusterCount;
    std::int64_t used = 0;
    for (std::int64_t c = first; c < first + count; ++c) {
        std::int64_t sector = v.fsKind == "FAT32"
                                  ? v.dataStartSector + (c - 2) * v.sectorsPerCluster
                                  : v.dataStartSector + c * v.sectorsPerCluster;
        used += s.freeSpace().isClusterInUse(sector, v.fsKind, v);
    }
    return {used, count - used};
}

void volumeInfo(const SourceOptions& source, bool freeMap, ExitCode& exit) {
    ConsoleReporter reporter(false);
    RecoverySession session(reporter);
    if (int code = kIoError; !source.choose(session, &code)) return exit.raise(code);
    const VolumeLayout& v = session.volume();
    const ScanSettings& s = session.settings();
    const SourceDescription d = describeSource(source.path);
    fmt::print("source            {}\n", s.sourceCaption);
    fmt::print("kind              {}, {}-byte sectors\n", d.kind, d.sectorBytes);
    if (v.hasFileSystem && v.bytesPerSector != 512)
        fmt::print("volume sectors    {} bytes (counts below in 512-byte sectors)\n",
                   v.bytesPerSector);
    fmt::print("file system       {}\n",
               s.fileSystemLabel.empty() ? "(whole disk)" : s.fileSystemLabel);
    fmt::print("sectors           {}\n", session.source().sourceSectors());
    fmt::print("start sector      {}\n", s.beginSector);
    fmt::print("end sector        {}\n", s.endSector);
    fmt::print("sectors/cluster   {}\n", strideOrDefault(s));
    if (v.hasFileSystem && v.fsKind == "FAT32")
        fmt::print("FAT               {} reserved sectors, {} sectors per FAT\n",
                   v.fatReservedSectors, v.fatSectors);
    if (v.hasFileSystem && v.fsKind == "NTFS") {
        fmt::print("$MFT cluster      {}\n", v.mftCluster);
        fmt::print("MFT record        {} bytes\n", v.mftRecordBytes);
    }
    if (v.hasFileSystem && v.fsKind == "exFAT")
        fmt::print("exFAT             FAT at {}, {} sectors; cluster heap at {}, {} clusters\n",
                   v.fatReservedSectors, v.fatSectors, v.dataStartSector, v.clusterCount);
    if (v.hasFileSystem && v.fsKind == "ext4")
        fmt::print("ext4              {} blocks of {} bytes{}\n", v.clusterCount,
                   v.sectorsPerCluster * 512,
                   v.extBlocksPerCluster > 1
                       ? fmt::format(", bigalloc clusters of {} blocks", v.extBlocksPerCluster)
                       : "");
    if (!freeMap) return;
    if (!v.hasFileSystem) {
        complain("the free-space map needs a partition (--partition)");
        return exit.raise(kBadInput);
    }
    // Counting clusters of an empty map would call every one free.
    if (const std::string missing = freeSpaceMapMissing(v); !missing.empty()) {
        fmt::print("free-space map    none: {}\n", missing);
        return;
    }
    if (session.buildFreeSpaceMap() != 0) {
        complain("create bitmap failed");
        return exit.raise(kIoError);
    }
    auto [used, free] = countClusters(session);
    fmt::print("clusters in use   {}\n", used);
    fmt::print("clusters free     {}\n", free);
}

}  // namespace

void addSourceCommands(CLI::App& app, ExitCode& exit) {
    auto json = std::make_shared<bool>(false);
    auto* sources =
        app.add_subcommand("sources", "The disks and volumes this machine offers as sources");
    sources->add_flag("--json", *json, "Machine-readable output");
    sources->callback([json] { listSources(*json); });

    auto source = std::make_shared<SourceOptions>();
    auto freeMap = std::make_shared<bool>(false);
    auto* info =
        app.add_subcommand("volume-info", "Boot sector facts and the scan range of a source");
    source->addTo(*info);
    info->add_flag("--free-map", *freeMap,
                   "Build the free-space map and count used and free clusters");
    info->callback([source, freeMap, &exit] { volumeInfo(*source, *freeMap, exit); });
}

}  // namespace mdf::cli
