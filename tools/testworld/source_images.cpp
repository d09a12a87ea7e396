#include "testworld/source_images.h"

#include <fmt/core.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "source/byte_order.h"
#include "testworld/process.h"
#include "testworld/random.h"
#include "testworld/temp_dir.h"

namespace mdf::test {
namespace fs = std::filesystem;
namespace {

constexpr std::int64_t kPage = 8192;

std::vector<std::uint8_t> readAt(const std::string& path, std::int64_t offset, std::size_t size) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> out(size);
    in.seekg(offset);
    in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(size));
    if (in.gcount() != static_cast<std::streamsize>(size))
        throw std::runtime_error(fmt::format("short read of {} at {}", path, offset));
    return out;
}

std::vector<std::uint8_t> junk(Random& rng, std::size_t bytes) {
    std::vector<std::uint8_t> out(bytes);
    for (auto& b : out)
        b = static_cast<std::uint8_t>(rng.next());
    return out;
}

void describe(const SyntheticDatabase& db, ImageManifest& m) {
    m.databaseName = db.recipe().physicalPath;
    m.pages = db.pageCount();
    m.usedPages = db.usedPages();
    m.fileId = db.recipe().fileId;
    m.protection = db.recipe().protection == Protection::Checksum   ? "checksum"
                   : db.recipe().protection == Protection::TornBits ? "torn"
                                                                    : "none";
    m.originalSha256 = db.sha256();
    m.expectedSha256 = m.originalSha256;
    m.scanAsPartition = true;
    m.fileInFreeSpace = true;
}

// exFAT's 16-bit rotate-and-add sums over an entry set and over a name.
std::uint16_t rotateAdd(std::uint16_t sum, std::uint8_t byte) {
    return static_cast<std::uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + byte);
}

class ExfatPlacer {
  public:
    explicit ExfatPlacer(std::string path) : path_(std::move(path)) {
        auto boot = readAt(path_, 0, 512);
        sectorBytes_ = 1 << boot[108];
        clusterBytes_ = std::int64_t{sectorBytes_} << boot[109];
        fatOffset_ = std::int64_t{loadU32(&boot[80])} * sectorBytes_;
        heapOffset_ = std::int64_t{loadU32(&boot[88])} * sectorBytes_;
        clusterCount_ = loadU32(&boot[92]);
        rootCluster_ = loadU32(&boot[96]);
        root_ = readAt(path_, clusterOffset(rootCluster_), static_cast<std::size_t>(clusterBytes_));
        rootClusters_.push_back(rootCluster_);
        for (std::size_t at = 0; at < root_.size(); at += 32)
            if (root_[at] == 0x81) {
                bitmapCluster_ = loadU32(&root_[at + 20]);
                bitmapBytes_ = static_cast<std::int64_t>(loadU64(&root_[at + 24]));
            }
        if (bitmapCluster_ == 0) throw std::runtime_error("mkfs.exfat wrote no bitmap entry");
        bitmap_ =
            readAt(path_, clusterOffset(bitmapCluster_), static_cast<std::size_t>(bitmapBytes_));
        for (rootEnd_ = 0; rootEnd_ < root_.size() && root_[rootEnd_] != 0; rootEnd_ += 32) {
        }
    }

    std::int64_t clusterBytes() const { return clusterBytes_; }
    void reserve(std::int64_t c) { setBit(c, true); }
    std::int64_t heapSector() const { return heapOffset_ / 512; }
    std::int64_t clusterOffset(std::int64_t c) const {
        return heapOffset_ + (c - 2) * clusterBytes_;
    }
    bool inUse(std::int64_t c) const {
        return (bitmap_[static_cast<std::size_t>((c - 2) / 8)] >> ((c - 2) % 8)) & 1;
    }
    std::int64_t firstFree(std::int64_t from) const {
        for (std::int64_t c = std::max<std::int64_t>(from, 2); c < clusterCount_ + 2; ++c)
            if (!inUse(c)) return c;
        throw std::runtime_error("exFAT volume full");
    }

    // Writes a file of these clusters (in order) with bytes, chained through the FAT; returns
    // the byte offset of its entry set in the root directory.
    std::size_t addFile(const std::string& name, const std::vector<std::int64_t>& clusters,
                        std::span<const std::uint8_t> bytes) {
        for (std::size_t i = 0; i < clusters.size(); ++i) {
            const std::int64_t c = clusters[i];
            setBit(c, true);
            const std::uint32_t next =
                i + 1 < clusters.size() ? static_cast<std::uint32_t>(clusters[i + 1]) : 0xFFFFFFFFu;
            std::uint8_t entry[4];
            storeU32(entry, next);
            writeAt(path_, static_cast<std::uint64_t>(fatOffset_ + c * 4), entry);
            const std::size_t from = i * static_cast<std::size_t>(clusterBytes_);
            std::vector<std::uint8_t> cluster(static_cast<std::size_t>(clusterBytes_), 0);
            if (from < bytes.size())
                std::copy_n(bytes.begin() + static_cast<long>(from),
                            std::min(cluster.size(), bytes.size() - from), cluster.begin());
            writeAt(path_, static_cast<std::uint64_t>(clusterOffset(c)), cluster);
        }
        const std::size_t nameEntries = (name.size() + 14) / 15;
        std::vector<std::uint8_t> set((2 + nameEntries) * 32, 0);
        set[0] = 0x85;
        set[1] = static_cast<std::uint8_t>(1 + nameEntries);
        storeU16(&set[4], 0x20);                                            // archive
        const std::uint32_t stamp = (40u << 25) | (1u << 21) | (1u << 16);  // 2020-01-01
        storeU32(&set[8], stamp);
        storeU32(&set[12], stamp);
        storeU32(&set[16], stamp);
        std::uint8_t* stream = &set[32];
        stream[0] = 0xC0;
        stream[1] = 0x01;  // allocation possible, chained through the FAT
        stream[3] = static_cast<std::uint8_t>(name.size());
        std::uint16_t hash = 0;
        for (char ch : name) {  // names here are upper case ASCII: the up-case table is identity
            hash = rotateAdd(hash, static_cast<std::uint8_t>(ch));
            hash = rotateAdd(hash, 0);
        }
        storeU16(&stream[4], hash);
        storeU64(&stream[8], bytes.size());
        storeU32(&stream[20], static_cast<std::uint32_t>(clusters.front()));
        storeU64(&stream[24], bytes.size());
        for (std::size_t k = 0; k < nameEntries; ++k) {
            std::uint8_t* e = &set[64 + 32 * k];
            e[0] = 0xC1;
            for (std::size_t j = 0; j < 15 && k * 15 + j < name.size(); ++j)
                storeU16(&e[2 + 2 * j], static_cast<std::uint8_t>(name[k * 15 + j]));
        }
        std::uint16_t sum = 0;
        for (std::size_t i = 0; i < set.size(); ++i)
            if (i != 2 && i != 3) sum = rotateAdd(sum, set[i]);
        storeU16(&set[2], sum);
        while (rootEnd_ + set.size() > root_.size())
            growRoot();
        const std::size_t at = rootEnd_;
        std::copy(set.begin(), set.end(), root_.begin() + static_cast<long>(at));
        rootEnd_ += set.size();
        return at;
    }

    // Deletes as exFAT does: the entries lose their in-use bit, the clusters their allocation
    // bits and their FAT entries.
    void deleteFile(std::size_t entryAt, const std::vector<std::int64_t>& clusters) {
        const std::size_t count = 1 + root_[entryAt + 1];
        for (std::size_t k = 0; k < count; ++k)
            root_[entryAt + 32 * k] &= 0x7F;
        for (std::int64_t c : clusters) {
            setBit(c, false);
            const std::uint8_t zero[4] = {};
            writeAt(path_, static_cast<std::uint64_t>(fatOffset_ + c * 4), zero);
        }
    }

    void flush() {
        for (std::size_t k = 0; k < rootClusters_.size(); ++k)
            writeAt(path_, static_cast<std::uint64_t>(clusterOffset(rootClusters_[k])),
                    std::span(root_).subspan(k * static_cast<std::size_t>(clusterBytes_),
                                             static_cast<std::size_t>(clusterBytes_)));
        writeAt(path_, static_cast<std::uint64_t>(clusterOffset(bitmapCluster_)), bitmap_);
    }

  private:
    // The root directory has no length but its chain: one more cluster, linked in the FAT.
    void growRoot() {
        const std::int64_t c = firstFree(2);
        setBit(c, true);
        std::uint8_t entry[4];
        storeU32(entry, static_cast<std::uint32_t>(c));
        writeAt(path_, static_cast<std::uint64_t>(fatOffset_ + rootClusters_.back() * 4), entry);
        storeU32(entry, 0xFFFFFFFFu);
        writeAt(path_, static_cast<std::uint64_t>(fatOffset_ + c * 4), entry);
        rootClusters_.push_back(c);
        root_.resize(root_.size() + static_cast<std::size_t>(clusterBytes_), 0);
    }

    void setBit(std::int64_t c, bool on) {
        auto& byte = bitmap_[static_cast<std::size_t>((c - 2) / 8)];
        const auto bit = static_cast<std::uint8_t>(1u << ((c - 2) % 8));
        byte = on ? static_cast<std::uint8_t>(byte | bit) : static_cast<std::uint8_t>(byte & ~bit);
    }

    std::string path_;
    int sectorBytes_ = 512;
    std::int64_t clusterBytes_ = 0, fatOffset_ = 0, heapOffset_ = 0, clusterCount_ = 0;
    std::int64_t rootCluster_ = 0, bitmapCluster_ = 0, bitmapBytes_ = 0;
    std::vector<std::uint8_t> root_, bitmap_;
    std::vector<std::int64_t> rootClusters_;
    std::size_t rootEnd_ = 0;
};

// Consecutive clusters as extents of the file, in file order.
std::vector<Extent> extentsOf(const std::vector<std::int64_t>& units, std::int64_t firstSectorOf0,
                              std::int64_t unitSectors, std::int64_t unitBase) {
    std::vector<Extent> out;
    std::int64_t offset = 0;
    for (std::int64_t u : units) {
        const std::int64_t sector = firstSectorOf0 + (u - unitBase) * unitSectors;
        if (!out.empty() && out.back().sector + out.back().sectors == sector)
            out.back().sectors += unitSectors;
        else
            out.push_back({offset, sector, unitSectors});
        offset += unitSectors * 512;
    }
    return out;
}

}  // namespace

std::vector<ManifestFragment> fragmentsOfExtents(const std::vector<Extent>& extents,
                                                 std::int32_t usedPages) {
    std::vector<ManifestFragment> out;
    for (const Extent& e : extents) {
        const std::int64_t end = e.fileOffset + e.sectors * 512;
        const std::int64_t first = (e.fileOffset + kPage - 1) / kPage;
        const std::int64_t last = std::min<std::int64_t>((end + kPage - 1) / kPage, usedPages);
        if (last <= first) continue;
        out.push_back({e.sector + (first * kPage - e.fileOffset) / 512,
                       static_cast<std::int32_t>(last - first), static_cast<std::int32_t>(first),
                       "true"});
    }
    std::sort(out.begin(), out.end(),
              [](const auto& a, const auto& b) { return a.firstSector < b.firstSector; });
    // Pieces that lie one after another on the disk and in the file are one run to a scan.
    std::vector<ManifestFragment> merged;
    for (const auto& f : out) {
        if (!merged.empty() &&
            merged.back().firstSector + merged.back().pages * 16 == f.firstSector &&
            merged.back().firstPage + merged.back().pages == f.firstPage)
            merged.back().pages += f.pages;
        else
            merged.push_back(f);
    }
    return merged;
}

ImageManifest buildExfatImage(const SyntheticDatabase& db, const std::string& imagePath,
                              const FileSystemImageOptions& o, ExfatImageInfo* info) {
    Random rng({o.seed, 0xE8FA7u});
    const std::int64_t dbBytes = std::int64_t{db.pageCount()} * kPage;
    const std::int64_t clusterBytes = std::int64_t{o.clusterSectors} * 512;
    const std::int64_t volumeBytes = (dbBytes * 3 + (8 << 20)) / (1 << 20) * (1 << 20);
    fs::remove(imagePath);
    { std::ofstream(imagePath).close(); }
    fs::resize_file(imagePath, static_cast<std::uintmax_t>(volumeBytes));
    // mkfs.exfat of exfatprogs 1.2 makes 512-byte sectors only.
    if (o.sectorBytes != 512) throw std::runtime_error("mkfs.exfat makes 512-byte sectors only");
    runChecked({"mkfs.exfat", "-c", std::to_string(clusterBytes), "-L", "MDFTEST", imagePath});

    ExfatPlacer placer(imagePath);
    // Whole pages per piece, so that every piece starts with a page.
    const std::int64_t pageClusters = std::max<std::int64_t>(1, kPage / clusterBytes);
    std::vector<std::int64_t> dbClusters, live;
    std::vector<std::uint8_t> dbFile(static_cast<std::size_t>(dbBytes));
    db.writeTo(imagePath + ".db");
    dbFile = readFile(imagePath + ".db");
    fs::remove(imagePath + ".db");
    const std::int64_t needed = (dbBytes + clusterBytes - 1) / clusterBytes;
    std::int64_t next = placer.firstFree(2);
    int filler = 0;
    auto addFiller = [&] {
        const std::int64_t count = rng.between(4, 24);
        std::vector<std::int64_t> clusters;
        for (std::int64_t k = 0; k < count; ++k) {
            next = placer.firstFree(next);
            clusters.push_back(next++);
        }
        placer.addFile(fmt::format("FILLER{:02}.BIN", ++filler), clusters,
                       junk(rng, static_cast<std::size_t>(count * clusterBytes - 100)));
        live.insert(live.end(), clusters.begin(), clusters.end());
    };
    while (static_cast<std::int64_t>(dbClusters.size()) < needed) {
        addFiller();
        const std::int64_t pieceClusters =
            std::min<std::int64_t>(rng.between(3, 30) * pageClusters,
                                   needed - static_cast<std::int64_t>(dbClusters.size()));
        for (std::int64_t k = 0; k < pieceClusters; ++k) {
            next = placer.firstFree(next);
            placer.reserve(next);
            dbClusters.push_back(next++);
        }
    }
    addFiller();
    const std::size_t entry = placer.addFile("SALES.MDF", dbClusters, dbFile);
    placer.flush();
    runChecked({"fsck.exfat", "-n", imagePath});  // the placement must be a valid volume
    placer.deleteFile(entry, dbClusters);
    placer.flush();
    runChecked({"fsck.exfat", "-n", imagePath});

    ImageManifest m;
    m.kind = "exfat";
    m.image = fs::path(imagePath).filename().string();
    m.clusterSectors = o.clusterSectors;
    describe(db, m);
    m.extents = extentsOf(dbClusters, placer.heapSector(), o.clusterSectors, 2);
    m.fragments = fragmentsOfExtents(m.extents, db.usedPages());
    if (info) *info = {live, dbClusters};
    return m;
}

ImageManifest buildExt4Image(const SyntheticDatabase& db, const std::string& imagePath,
                             const FileSystemImageOptions& o) {
    Random rng({o.seed, 0xE4F5u});
    TempDir work;
    const std::int64_t dbBytes = std::int64_t{db.pageCount()} * kPage;
    const std::int64_t blockBytes = std::int64_t{o.clusterSectors} * 512;
    const std::int64_t volumeBytes = (dbBytes * 4 + (8 << 20)) / (1 << 20) * (1 << 20);
    fs::create_directory(work.path() / "root");
    // Fillers take about twice the database; every other one is removed to leave the holes.
    std::vector<std::string> fillers;
    for (std::int64_t total = 0; total < dbBytes * 2;) {
        const std::int64_t size =
            rng.between(2, 12) * std::max<std::int64_t>(blockBytes, kPage) * 4;
        const std::string name = fmt::format("filler{:03}.bin", fillers.size());
        writeFile((work.path() / "root" / name).string(),
                  junk(rng, static_cast<std::size_t>(size)));
        fillers.push_back(name);
        total += size;
    }
    fs::remove(imagePath);
    runChecked({"mke2fs", "-q", "-F", "-t", "ext4", "-b", std::to_string(blockBytes), "-E",
                "root_owner=0:0", "-d", (work.path() / "root").string(), imagePath,
                std::to_string(volumeBytes / blockBytes)});
    std::string removals;
    for (std::size_t i = 0; i < fillers.size(); i += 2)
        removals += "rm /" + fillers[i] + "\n";
    const std::string script = work.file("rm.txt");
    std::ofstream(script) << removals;
    runChecked({"debugfs", "-w", "-f", script, imagePath});
    const std::string dbFile = work.file("Sales.mdf");
    db.writeTo(dbFile);
    runChecked({"debugfs", "-w", "-R", "write " + dbFile + " Sales.mdf", imagePath});
    // debugfs leaves blocks of zeros out as holes; a database server writes every block. The
    // holes get blocks (fallocate), and the generator writes the file's bytes into them.
    const std::int64_t fileBlocks = (dbBytes + blockBytes - 1) / blockBytes;
    runChecked({"debugfs", "-w", "-R", fmt::format("fallocate /Sales.mdf 0 {}", fileBlocks - 1),
                imagePath});
    // The leaf extents: logical first - last, physical first - last, length.
    const std::string listed = runChecked({"debugfs", "-R", "ex -l /Sales.mdf", imagePath});
    std::map<std::int64_t, std::int64_t> physicalOf;
    const std::regex leaf(R"(^\s*\d+/\s*\d+\s+\d+/\s*\d+\s+(\d+)\s+-\s+(\d+)\s+(\d+)\s+-\s+(\d+))");
    std::istringstream lines(listed);
    for (std::string line; std::getline(lines, line);) {
        std::smatch x;
        if (!std::regex_search(line, x, leaf)) continue;
        const std::int64_t logical = std::stoll(x[1]), last = std::stoll(x[2]);
        for (std::int64_t k = 0; logical + k <= last; ++k)
            physicalOf[logical + k] = std::stoll(x[3]) + k;
    }
    if (static_cast<std::int64_t>(physicalOf.size()) != fileBlocks)
        throw std::runtime_error("debugfs lists too few blocks for the database:\n" + listed);
    {
        const auto bytes = readFile(dbFile);
        for (const auto& [logical, physical] : physicalOf)
            writeAt(imagePath, static_cast<std::uint64_t>(physical * blockBytes),
                    std::span(bytes).subspan(static_cast<std::size_t>(logical * blockBytes),
                                             static_cast<std::size_t>(blockBytes)));
    }
    runChecked({"debugfs", "-w", "-R", "rm /Sales.mdf", imagePath});
    runChecked({"e2fsck", "-fn", imagePath});

    ImageManifest m;
    m.kind = "ext4";
    m.image = fs::path(imagePath).filename().string();
    m.clusterSectors = o.clusterSectors;
    describe(db, m);
    for (const auto& [logical, physical] : physicalOf) {
        const Extent piece{logical * blockBytes, physical * o.clusterSectors, o.clusterSectors};
        Extent* last = m.extents.empty() ? nullptr : &m.extents.back();
        if (last && last->sector + last->sectors == piece.sector &&
            last->fileOffset + last->sectors * 512 == piece.fileOffset)
            last->sectors += piece.sectors;
        else
            m.extents.push_back(piece);
    }
    m.fragments = fragmentsOfExtents(m.extents, db.usedPages());
    return m;
}

void convertImage(const std::string& raw, const std::string& out, const std::string& format,
                  std::int64_t segmentBytes, int sectorBytes) {
    fs::remove(out);
    if (format != "ewf") {
        runChecked({"qemu-img", "convert", "-q", "-f", "raw", "-O", format, raw, out});
        return;
    }
    std::string target = out;
    if (target.size() > 4 && target.substr(target.size() - 4) == ".E01")
        target.resize(target.size() - 4);
    std::vector<std::string> argv = {"ewfacquire",
                                     "-u",
                                     "-q",
                                     "-t",
                                     target,
                                     "-f",
                                     "encase6",
                                     "-c",
                                     "fast",
                                     "-P",
                                     std::to_string(sectorBytes)};
    if (segmentBytes > 0) {
        argv.push_back("-S");
        argv.push_back(std::to_string(segmentBytes));
    }
    argv.push_back(raw);
    runChecked(argv);
}

}  // namespace mdf::test
