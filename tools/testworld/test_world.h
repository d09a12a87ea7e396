#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "testworld/synthetic_database.h"

namespace mdf::test {

// Where a run of the database file's bytes lies on the image.
struct Extent {
    std::int64_t fileOffset = 0;  // bytes into the database file
    std::int64_t sector = 0;      // first sector, in the scanned source's addressing
    std::int64_t sectors = 0;
};

// A run of pages as a scan sees it: the pages whose first sector lies in one extent.
struct ManifestFragment {
    std::int64_t firstSector = 0;
    std::int32_t pages = 0;
    std::int32_t firstPage = 0;
    std::string kind = "true";  // true, stale, other-file-id, same-file-id
};

// What a correct recovery of an image must produce, written next to the image as JSON.
struct ImageManifest {
    std::string kind;  // raw, fat32, ntfs, disk
    std::string image;
    int clusterSectors = 1;
    std::int64_t partitionStartSector = 0;  // disk images: the partition holding the file
    bool scanAsPartition = false;           // read the boot sector; sectors relative to it
    bool fileInFreeSpace = true;            // false when the file system still owns its clusters
    std::string databaseName;               // the file's own path, as page 32 holds it
    std::int32_t pages = 0;
    std::int32_t usedPages = 0;
    std::uint16_t fileId = 1;
    std::string protection;
    std::string originalSha256;
    std::string expectedSha256;  // original with lost pages zero and damaged pages as on the image
    std::vector<Extent> extents;
    std::vector<ManifestFragment> fragments;  // true fragments in the order they lie on the image
    std::vector<ManifestFragment> decoys;     // pages of other files and older copies
    std::vector<std::int32_t> lostPages;      // allocated pages whose content is gone
    std::vector<std::int32_t> lostPfsPages;   // PFS pages whose content is gone
    std::vector<std::int32_t> damagedPages;   // torn pages, recovered as the image holds them
    std::vector<std::pair<std::int64_t, std::int64_t>> unreadableSectors;  // first, count

    nlohmann::json toJson() const;
    static ImageManifest fromJson(const nlohmann::json& j);
    void save(const std::string& path) const;
    static ImageManifest load(const std::string& path);
};

struct Damage {
    int loseFragmentStarts = 0;  // lose the first page or two of this many true fragments
    bool unreadable = false;     // lost pages are unreadable sectors instead of zeros
    bool tornPage = false;       // one page gets the second half of another version
    bool losePfsPage = false;    // lose the PFS page at 8088 (files of more than 8088 pages)
};

struct RawImageOptions {
    std::uint64_t seed = 1;
    int minFragmentPages = 3;
    int maxFragmentPages = 40;
    int staleCopies = 3;
    bool otherFileIdDatabase = true;
    bool sameFileIdDatabase = true;
    Damage damage;
    bool computeHashes = true;  // off for benchmark images of many gigabytes
};

enum class NtfsMode { Deleted, Present, MftOverwritten };

struct FileSystemImageOptions {
    std::uint64_t seed = 1;
    int clusterSectors = 8;
    NtfsMode ntfsMode = NtfsMode::Deleted;
    Damage damage;
    int sectorBytes =
        512;  // the volume's own sector: 4096 for a 4Kn disk; clusterSectors stay 512-byte units
    // The sizes of the FAT32 fillers whose deletion leaves the holes the database lands in; 0 for
    // the largest: a 24th of the database, at least 160 KiB.
    std::int64_t smallestFiller = 24 << 10;
    std::int64_t largestFiller = 0;
};

// A database file already on disk (one of the real files of the shared test data): what the
// builders below lay into a file system with the real tools, as they lay a synthetic one.
struct DatabaseOnDisk {
    std::string path;
    std::string physicalPath;  // the file's own path, as page 32 keeps it
    std::int32_t pages = 0;
    std::uint16_t fileId = 1;
    std::string protection;
    std::string sha256;
    std::int64_t bytes() const { return std::int64_t{pages} * 8192; }
};
DatabaseOnDisk databaseOnDisk(const std::string& path, const std::string& physicalPath);

// The file's pages as fragments in shuffled order at 8-sector positions, junk between them,
// with stale copies and two other databases (one with file id 2, one with file id 1).
ImageManifest buildRawImage(const SyntheticDatabase& db, const std::string& imagePath,
                            const RawImageOptions& options);
// A FAT32 volume made by mkfs.vfat and filled with mcopy; every other filler deleted with mdel,
// the database copied into the holes and deleted.
ImageManifest buildFat32Image(const SyntheticDatabase& db, const std::string& imagePath,
                              const FileSystemImageOptions& options);
ImageManifest buildFat32Image(const DatabaseOnDisk& db, const std::string& imagePath,
                              const FileSystemImageOptions& options);
// An NTFS volume made by mkntfs and filled with ntfscp; every other filler truncated, the
// database copied into the holes, then freed, left present, or its MFT record overwritten.
ImageManifest buildNtfsImage(const SyntheticDatabase& db, const std::string& imagePath,
                             const FileSystemImageOptions& options);
ImageManifest buildNtfsImage(const DatabaseOnDisk& db, const std::string& imagePath,
                             const FileSystemImageOptions& options);
// A whole disk: an MBR made by sfdisk and the FAT32 volume above at sector 2048.
ImageManifest buildDiskImage(const SyntheticDatabase& db, const std::string& imagePath,
                             const FileSystemImageOptions& options);
// A whole disk with a GPT that fdisk made in the volume's sector size (LBAs of 4096 bytes for
// a 4Kn disk, options.sectorBytes), and the FAT32 volume above from 1 MiB.
ImageManifest buildGptDiskImage(const SyntheticDatabase& db, const std::string& imagePath,
                                const FileSystemImageOptions& options);

// The CHECK lines a correct recovery shows for this manifest.
std::vector<std::string> expectedMissingPageLines(const ImageManifest& m,
                                                  const SyntheticDatabase& db);

// The recipe a database file was made from, kept beside it as FILE.json.
void saveDatabaseRecipe(const DatabaseRecipe& recipe, const std::string& path);
DatabaseRecipe loadDatabaseRecipe(const std::string& path);

}  // namespace mdf::test
