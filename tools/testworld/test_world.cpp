#include "testworld/test_world.h"

#include <fcntl.h>
#include <fmt/core.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>

#include "assembly/sha256.h"
#include "source/byte_order.h"
#include "testworld/process.h"
#include "testworld/random.h"
#include "testworld/temp_dir.h"

namespace mdf::test {
namespace fs = std::filesystem;
namespace {

constexpr std::int64_t kPage = 8192;

// Writes into an image file, creating it sparse.
class ImageWriter {
  public:
    explicit ImageWriter(const std::string& path, std::int64_t size = 0) {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0) throw std::runtime_error("cannot open " + path);
        if (size > 0 && ::ftruncate(fd_, size) != 0)
            throw std::runtime_error("cannot size " + path);
    }
    ~ImageWriter() { ::close(fd_); }
    ImageWriter(const ImageWriter&) = delete;
    ImageWriter& operator=(const ImageWriter&) = delete;

    void write(std::int64_t offset, std::span<const std::uint8_t> bytes) {
        if (::pwrite(fd_, bytes.data(), bytes.size(), offset) != static_cast<ssize_t>(bytes.size()))
            throw std::runtime_error("short write to image");
    }
    std::vector<std::uint8_t> read(std::int64_t offset, std::size_t size) {
        std::vector<std::uint8_t> out(size);
        if (::pread(fd_, out.data(), size, offset) != static_cast<ssize_t>(size))
            throw std::runtime_error("short read from image");
        return out;
    }

  private:
    int fd_ = -1;
};

std::vector<std::uint8_t> junk(Random& rng, std::size_t bytes) {
    std::vector<std::uint8_t> out(bytes);
    for (std::size_t i = 0; i < bytes; i += 8) {
        std::uint64_t v = rng.next();
        for (std::size_t b = 0; b < 8 && i + b < bytes; ++b)
            out[i + b] = static_cast<std::uint8_t>(v >> (8 * b));
    }
    return out;
}

// The pages whose first sector lies in each extent, cut at the end of the used part; lost pages
// at an extent's start are not seen.
std::vector<ManifestFragment> scanView(const std::vector<Extent>& extents, std::int32_t usedPages,
                                       const std::set<std::int32_t>& lost) {
    std::vector<ManifestFragment> out;
    for (const Extent& e : extents) {
        const std::int64_t end = e.fileOffset + e.sectors * 512;
        auto first = static_cast<std::int32_t>((e.fileOffset + kPage - 1) / kPage);
        auto last =
            static_cast<std::int32_t>(std::min<std::int64_t>((end + kPage - 1) / kPage, usedPages));
        while (first < last && lost.count(first))
            ++first;
        if (first >= last) continue;
        out.push_back(
            {e.sector + (first * kPage - e.fileOffset) / 512, last - first, first, "true"});
    }
    return out;
}

// Where page p of the file lies on the image.
std::int64_t sectorOfPage(const std::vector<Extent>& extents, std::int32_t p) {
    const std::int64_t offset = p * kPage;
    for (const Extent& e : extents)
        if (offset >= e.fileOffset && offset < e.fileOffset + e.sectors * 512)
            return e.sector + (offset - e.fileOffset) / 512;
    throw std::runtime_error("page not on the image");
}

std::int32_t pfsPageOf(std::int32_t p) {
    return p < kPfsInterval ? 1 : p / kPfsInterval * kPfsInterval;
}

// Applies the damage to the image and records it in the manifest. Lost pages are taken from
// the start of fragments, so that nothing joins the pieces again and the check can see them.
void applyDamage(const SyntheticDatabase& db, ImageWriter& image, std::int64_t partitionByteOffset,
                 ImageManifest& m, const Damage& damage, std::uint64_t seed,
                 bool computeHashes = true) {
    Random rng({seed, 0xDA3A6Eu});
    std::set<std::int32_t> lost;
    auto lose = [&](std::int32_t p) {
        const std::int64_t sector = sectorOfPage(m.extents, p);
        if (damage.unreadable)
            m.unreadableSectors.push_back({sector + m.partitionStartSector, 16});
        else
            image.write(partitionByteOffset + sector * 512, std::vector<std::uint8_t>(kPage, 0));
        lost.insert(p);
        if (db.role(p) == PageRole::Pfs)
            m.lostPfsPages.push_back(p);
        else
            m.lostPages.push_back(p);
    };
    auto fragments = scanView(m.extents, db.usedPages(), {});
    if (damage.losePfsPage) {
        for (const auto& f : fragments)
            if (f.firstPage == kPfsInterval && f.pages > 1) lose(kPfsInterval);
    }
    int wanted = damage.loseFragmentStarts;
    for (std::size_t i = 1; i < fragments.size() && wanted > 0; ++i) {
        const auto& f = fragments[(i * 7) % fragments.size()];
        if (f.firstPage < 40 || f.pages < 4 || lost.count(f.firstPage)) continue;
        int count = static_cast<int>(rng.between(1, 2));
        bool fit = true;
        for (int k = 0; k < count; ++k)
            fit = fit && db.isAllocated(f.firstPage + k) &&
                  db.role(f.firstPage + k) != PageRole::Pfs &&
                  db.role(f.firstPage + k) != PageRole::Iam;
        if (!fit) continue;
        for (int k = 0; k < count; ++k)
            lose(f.firstPage + k);
        --wanted;
    }
    if (damage.tornPage) {
        for (const auto& f : fragments) {
            std::int32_t p = f.firstPage + f.pages / 2;
            if (f.pages < 5 || db.role(p) != PageRole::Data || lost.count(p)) continue;
            Page other = db.stalePage(p, 0x7042u);
            const std::int64_t at = partitionByteOffset + sectorOfPage(m.extents, p) * 512 + 4096;
            image.write(at, std::span(other).subspan(4096));
            m.damagedPages.push_back(p);
            break;
        }
    }
    std::sort(m.lostPages.begin(), m.lostPages.end());
    m.fragments = scanView(m.extents, db.usedPages(), lost);
    if (!computeHashes) return;

    // What a correct recovery writes: lost pages zero, damaged pages as the image holds them.
    Sha256 sha;
    for (std::int32_t p = 0; p < db.pageCount(); ++p) {
        if (lost.count(p)) {
            sha.update(std::vector<std::uint8_t>(kPage, 0));
        } else if (std::find(m.damagedPages.begin(), m.damagedPages.end(), p) !=
                   m.damagedPages.end()) {
            sha.update(image.read(partitionByteOffset + sectorOfPage(m.extents, p) * 512, kPage));
        } else {
            sha.update(db.page(p));
        }
    }
    m.expectedSha256 = sha.finishHex();
}

void describeDatabase(const SyntheticDatabase& db, ImageManifest& m, bool computeHashes = true) {
    m.databaseName = db.recipe().physicalPath;
    m.pages = db.pageCount();
    m.usedPages = db.usedPages();
    m.fileId = db.recipe().fileId;
    m.protection = protectionName(db.recipe().protection);
    if (computeHashes) m.originalSha256 = db.sha256();
}

void describeDatabase(const DatabaseOnDisk& db, ImageManifest& m) {
    m.databaseName = db.physicalPath;
    m.pages = db.pages;
    m.usedPages = db.pages;
    m.fileId = db.fileId;
    m.protection = db.protection;
    m.originalSha256 = db.sha256;
    m.fragments = scanView(m.extents, db.pages, {});
}

// Cuts pages [0, count) into runs; a run boundary is forced at every page in cuts.
std::vector<std::pair<std::int32_t, std::int32_t>> cutIntoRuns(std::int32_t count, Random& rng,
                                                               int minPages, int maxPages,
                                                               const std::set<std::int32_t>& cuts) {
    std::vector<std::pair<std::int32_t, std::int32_t>> runs;
    std::int32_t p = 0;
    while (p < count) {
        std::int32_t n = static_cast<std::int32_t>(rng.between(minPages, maxPages));
        if (p == 0) n = std::max(n, 3);  // page 0 and its PFS page stay together
        std::int32_t end = std::min(count, p + n);
        auto cut = cuts.upper_bound(p);
        if (cut != cuts.end() && *cut < end) end = *cut;
        runs.push_back({p, end});
        p = end;
    }
    return runs;
}

std::string basenameOf(const std::string& windowsPath) {
    auto slash = windowsPath.find_last_of("\\/");
    return slash == std::string::npos ? windowsPath : windowsPath.substr(slash + 1);
}

// An 8.3 name for the FAT volume, from the file's own name.
std::string shortName(const std::string& windowsPath) {
    std::string base = basenameOf(windowsPath);
    std::string stem = base.substr(0, base.find('.'));
    std::string out;
    for (char c : stem)
        if (std::isalnum(static_cast<unsigned char>(c)) && out.size() < 8)
            out += static_cast<char>(std::toupper(c));
    return (out.empty() ? "DATA" : out) + ".MDF";
}

void writeFillers(const TempDir& dir, Random& rng, std::int64_t total, std::int64_t minSize,
                  std::int64_t maxSize, std::vector<std::string>& names) {
    for (std::int64_t written = 0; written < total;) {
        std::int64_t size = rng.between(minSize, maxSize);
        if (size % kPage == 0) size += 512;
        std::string name = "F" + std::to_string(names.size() + 1) + ".BIN";
        writeFile(dir.file(name), junk(rng, static_cast<std::size_t>(size)));
        names.push_back(name);
        written += size;
    }
}

std::int64_t fat32VolumeBytes(int clusterSectors, std::int64_t databaseBytes) {
    // mtools refuses a FAT32 of fewer than 65525 clusters.
    std::int64_t minimum = (65525 + 4096) * std::int64_t{clusterSectors} * 512;
    std::int64_t wanted = databaseBytes * 4 + (16 << 20);
    return std::max(minimum, wanted) / (1 << 20) * (1 << 20);
}

// Runs of clusters of a FAT file, as mshowfat prints them: "<3> <45-46> <51-52>".
std::vector<std::pair<std::int64_t, std::int64_t>> parseClusterChain(const std::string& output) {
    std::vector<std::pair<std::int64_t, std::int64_t>> runs;
    std::regex run(R"(<(\d+)(?:-(\d+))?>)");
    for (auto it = std::sregex_iterator(output.begin(), output.end(), run);
         it != std::sregex_iterator(); ++it) {
        std::int64_t first = std::stoll((*it)[1]);
        std::int64_t last = (*it)[2].matched ? std::stoll((*it)[2]) : first;
        runs.push_back({first, last - first + 1});
    }
    return runs;
}

// Runs of a non-resident attribute as ntfsinfo -v prints them: "0x0  0x1272  0x31".
std::vector<std::pair<std::int64_t, std::int64_t>> parseNtfsRunlist(const std::string& output) {
    std::vector<std::pair<std::int64_t, std::int64_t>> runs;
    std::istringstream in(output);
    bool inList = false;
    for (std::string line; std::getline(in, line);) {
        if (line.find("Runlist:") != std::string::npos) {
            inList = true;
            continue;
        }
        if (!inList) continue;
        std::regex row(R"(^\s*0x([0-9a-fA-F]+)\s+0x([0-9a-fA-F]+)\s+0x([0-9a-fA-F]+)\s*$)");
        std::smatch m;
        if (!std::regex_match(line, m, row)) {
            inList = false;
            continue;
        }
        runs.push_back({std::stoll(m[2], nullptr, 16), std::stoll(m[3], nullptr, 16)});
    }
    return runs;
}

std::vector<Extent> extentsFromClusterRuns(
    const std::vector<std::pair<std::int64_t, std::int64_t>>& runs, std::int64_t firstClusterSector,
    int clusterSectors, std::int64_t clusterBase, std::int64_t fileBytes) {
    std::vector<Extent> extents;
    std::int64_t offset = 0;
    for (auto [cluster, count] : runs) {
        if (offset >= fileBytes) break;
        Extent e{offset, firstClusterSector + (cluster - clusterBase) * clusterSectors,
                 count * clusterSectors};
        if (!extents.empty() && extents.back().sector + extents.back().sectors == e.sector)
            extents.back().sectors += e.sectors;
        else
            extents.push_back(e);
        offset += count * clusterSectors * 512;
    }
    return extents;
}

}  // namespace

nlohmann::json ImageManifest::toJson() const {
    auto frags = [](const std::vector<ManifestFragment>& list) {
        nlohmann::json a = nlohmann::json::array();
        for (const auto& f : list)
            a.push_back({{"first_sector", f.firstSector},
                         {"pages", f.pages},
                         {"first_page", f.firstPage},
                         {"kind", f.kind}});
        return a;
    };
    nlohmann::json ext = nlohmann::json::array();
    for (const auto& e : extents)
        ext.push_back(
            {{"file_offset", e.fileOffset}, {"sector", e.sector}, {"sectors", e.sectors}});
    nlohmann::json bad = nlohmann::json::array();
    for (auto [first, count] : unreadableSectors)
        bad.push_back({{"first_sector", first}, {"sectors", count}});
    return {{"kind", kind},
            {"image", image},
            {"cluster_sectors", clusterSectors},
            {"partition_start_sector", partitionStartSector},
            {"scan_as_partition", scanAsPartition},
            {"file_in_free_space", fileInFreeSpace},
            {"database",
             {{"name", databaseName},
              {"pages", pages},
              {"used_pages", usedPages},
              {"file_id", fileId},
              {"protection", protection},
              {"sha256", originalSha256}}},
            {"expected_sha256", expectedSha256},
            {"extents", ext},
            {"fragments", frags(fragments)},
            {"decoys", frags(decoys)},
            {"lost_pages", lostPages},
            {"lost_pfs_pages", lostPfsPages},
            {"damaged_pages", damagedPages},
            {"unreadable_sectors", bad}};
}

ImageManifest ImageManifest::fromJson(const nlohmann::json& j) {
    ImageManifest m;
    m.kind = j.at("kind");
    m.image = j.at("image");
    m.clusterSectors = j.at("cluster_sectors");
    m.partitionStartSector = j.at("partition_start_sector");
    m.scanAsPartition = j.at("scan_as_partition");
    m.fileInFreeSpace = j.at("file_in_free_space");
    const auto& d = j.at("database");
    m.databaseName = d.at("name");
    m.pages = d.at("pages");
    m.usedPages = d.at("used_pages");
    m.fileId = d.at("file_id");
    m.protection = d.at("protection");
    m.originalSha256 = d.at("sha256");
    m.expectedSha256 = j.at("expected_sha256");
    for (const auto& e : j.at("extents"))
        m.extents.push_back({e.at("file_offset"), e.at("sector"), e.at("sectors")});
    auto frags = [](const nlohmann::json& a) {
        std::vector<ManifestFragment> out;
        for (const auto& f : a)
            out.push_back({f.at("first_sector"), f.at("pages"), f.at("first_page"), f.at("kind")});
        return out;
    };
    m.fragments = frags(j.at("fragments"));
    m.decoys = frags(j.at("decoys"));
    m.lostPages = j.at("lost_pages").get<std::vector<std::int32_t>>();
    m.lostPfsPages = j.at("lost_pfs_pages").get<std::vector<std::int32_t>>();
    m.damagedPages = j.at("damaged_pages").get<std::vector<std::int32_t>>();
    for (const auto& b : j.at("unreadable_sectors"))
        m.unreadableSectors.push_back({b.at("first_sector"), b.at("sectors")});
    return m;
}

void ImageManifest::save(const std::string& path) const {
    std::ofstream out(path);
    out << toJson().dump(2) << "\n";
    if (!out) throw std::runtime_error("cannot write " + path);
}

ImageManifest ImageManifest::load(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path);
    return fromJson(nlohmann::json::parse(in));
}

ImageManifest buildRawImage(const SyntheticDatabase& db, const std::string& imagePath,
                            const RawImageOptions& o) {
    Random rng({o.seed, 0x4A3u});
    // What goes onto the image, made page by page while it is written, so that a file of many
    // gigabytes never has to be in memory.
    struct Item {
        const SyntheticDatabase* source;
        std::int32_t from, to;
        std::uint64_t staleSalt;  // 0: the database's own pages
        std::string kind;
    };
    std::vector<Item> items;
    std::set<std::int32_t> cuts;
    if (o.damage.losePfsPage && db.pageCount() > kPfsInterval)
        cuts = {kPfsInterval, kPfsInterval + 4};
    for (auto [from, to] :
         cutIntoRuns(db.pageCount(), rng, o.minFragmentPages, o.maxFragmentPages, cuts))
        items.push_back({&db, from, to, 0, "true"});
    for (int s = 0; s < o.staleCopies; ++s) {
        std::int32_t from =
            static_cast<std::int32_t>(rng.between(41, std::max(42, db.usedPages() - 20)));
        std::int32_t to = std::min(
            db.usedPages(),
            from + static_cast<std::int32_t>(rng.between(4, std::max(16, o.maxFragmentPages / 2))));
        items.push_back({&db, from, to, static_cast<std::uint64_t>(s) + 1, "stale"});
    }
    std::vector<std::unique_ptr<SyntheticDatabase>> others;
    auto addOtherDatabase = [&](std::uint16_t fileId, const std::string& kind,
                                const std::string& path) {
        DatabaseRecipe recipe;
        recipe.pages = 160;
        recipe.fileId = fileId;
        recipe.seed = o.seed * 31 + fileId + 7;
        recipe.protection = db.recipe().protection;
        recipe.physicalPath = path;
        recipe.logicalName = "Archive";
        recipe.objects = 5;
        others.push_back(std::make_unique<SyntheticDatabase>(recipe));
        for (auto [from, to] : cutIntoRuns(others.back()->usedPages(), rng, 8, 40, {}))
            items.push_back({others.back().get(), from, to, 0, kind});
    };
    if (o.otherFileIdDatabase) addOtherDatabase(2, "other-file-id", "E:\\logs\\Archive_2.ndf");
    if (o.sameFileIdDatabase) addOtherDatabase(1, "same-file-id", "E:\\old\\Archive.mdf");

    for (std::size_t i = items.size(); i > 1; --i)
        std::swap(
            items[i - 1],
            items[static_cast<std::size_t>(rng.between(0, static_cast<std::int64_t>(i) - 1))]);

    ImageManifest m;
    m.kind = "raw";
    m.image = fs::path(imagePath).filename().string();
    m.clusterSectors = 8;
    m.scanAsPartition = false;
    m.fileInFreeSpace = true;
    describeDatabase(db, m, o.computeHashes);

    fs::remove(imagePath);
    ImageWriter image(imagePath);
    // Gaps are odd multiples of 8 sectors: never a whole number of pages, so no two runs of the
    // file ever look like one run with a hole.
    std::int64_t sector = 8 * rng.between(1, 20);
    image.write(0, junk(rng, static_cast<std::size_t>(sector * 512)));
    std::vector<std::uint8_t> run;
    for (const Item& item : items) {
        run.clear();
        for (std::int32_t p = item.from; p < item.to; ++p) {
            Page pg =
                item.staleSalt ? item.source->stalePage(p, item.staleSalt) : item.source->page(p);
            run.insert(run.end(), pg.begin(), pg.end());
        }
        image.write(sector * 512, run);
        const std::int64_t sectors = static_cast<std::int64_t>(run.size() / 512);
        if (item.kind == "true")
            m.extents.push_back({std::int64_t{item.from} * kPage, sector, sectors});
        else
            m.decoys.push_back({sector, item.to - item.from, item.from, item.kind});
        sector += sectors;
        std::int64_t gap = 8 * (2 * rng.between(0, 40) + 1);
        image.write(sector * 512, junk(rng, static_cast<std::size_t>(gap * 512)));
        sector += gap;
    }
    std::sort(m.extents.begin(), m.extents.end(),
              [](const Extent& a, const Extent& b) { return a.sector < b.sector; });
    applyDamage(db, image, 0, m, o.damage, o.seed, o.computeHashes);
    return m;
}

// A FAT32 volume made by mkfs.vfat and filled with mcopy; every other filler deleted with mdel,
// the database copied into the holes and deleted. The manifest's database facts are the caller's.
static ImageManifest fat32Around(const std::string& dbFile, const std::string& dbName,
                                 std::int64_t dbBytes, const std::string& imagePath,
                                 const FileSystemImageOptions& o) {
    Random rng({o.seed, 0xFA732u});
    TempDir work;

    fs::remove(imagePath);
    { ImageWriter sized(imagePath, fat32VolumeBytes(o.clusterSectors, dbBytes)); }
    const int factor = o.sectorBytes / 512;  // the file system counts in its own sectors
    runChecked({"mkfs.vfat", "-F", "32", "-s", std::to_string(o.clusterSectors / factor), "-S",
                std::to_string(o.sectorBytes), "-i",
                fmt::format("{:08X}", static_cast<std::uint32_t>(rng.next())), "-n", "MDFTEST",
                imagePath});

    // Fill a region with fillers, free every other one: the holes take the database.
    std::vector<std::string> fillers;
    const std::int64_t maxFiller =
        o.largestFiller > 0 ? o.largestFiller : std::max<std::int64_t>(160 << 10, dbBytes / 24);
    writeFillers(work, rng, dbBytes * 5 / 2, o.smallestFiller, maxFiller, fillers);
    std::vector<std::string> copy = {"mcopy", "-i", imagePath};
    for (const auto& f : fillers)
        copy.push_back(work.file(f));
    copy.push_back("::/");
    runChecked(copy);
    std::vector<std::string> del = {"mdel", "-i", imagePath};
    for (std::size_t i = 0; i < fillers.size(); i += 2)
        del.push_back("::/" + fillers[i]);
    runChecked(del);

    // A volume freshly mounted has no "next free cluster" hint and allocates from the start;
    // mtools follows the hint, so it is cleared as a fresh mount would.
    std::uint32_t fsInfoSector;
    {
        ImageWriter image(imagePath);
        auto boot = image.read(0, 512);
        fsInfoSector = loadU16(&boot[48]);
        std::array<std::uint8_t, 4> unknown = {0xFF, 0xFF, 0xFF, 0xFF};
        image.write(std::int64_t{fsInfoSector} * o.sectorBytes + 492, unknown);
    }
    runChecked({"mcopy", "-i", imagePath, dbFile, "::/" + dbName});
    auto chain = parseClusterChain(runChecked({"mshowfat", "-i", imagePath, "::/" + dbName}));
    runChecked({"mdel", "-i", imagePath, "::/" + dbName});

    ImageWriter image(imagePath);
    auto boot = image.read(0, 512);
    const std::int64_t dataStart =
        (loadU16(&boot[14]) + std::int64_t{boot[16]} * loadU32(&boot[36])) * factor;

    ImageManifest m;
    m.kind = "fat32";
    m.image = fs::path(imagePath).filename().string();
    m.clusterSectors = o.clusterSectors;
    m.scanAsPartition = true;
    m.fileInFreeSpace = true;
    m.extents = extentsFromClusterRuns(chain, dataStart, o.clusterSectors, 2, dbBytes);
    return m;
}

ImageManifest buildFat32Image(const SyntheticDatabase& db, const std::string& imagePath,
                              const FileSystemImageOptions& o) {
    TempDir work;
    const std::string dbName = shortName(db.recipe().physicalPath);
    db.writeTo(work.file(dbName));
    const std::int64_t dbBytes = static_cast<std::int64_t>(db.pageCount()) * kPage;
    ImageManifest m = fat32Around(work.file(dbName), dbName, dbBytes, imagePath, o);
    describeDatabase(db, m);
    ImageWriter image(imagePath);
    applyDamage(db, image, 0, m, o.damage, o.seed);
    return m;
}

ImageManifest buildFat32Image(const DatabaseOnDisk& db, const std::string& imagePath,
                              const FileSystemImageOptions& o) {
    ImageManifest m = fat32Around(db.path, shortName(db.physicalPath), db.bytes(), imagePath, o);
    describeDatabase(db, m);
    return m;
}

// An NTFS volume made by mkntfs, filled with ntfscp, every other filler truncated away, the
// database written into the holes (and removed, when deleted). The database facts are the
// caller's.
static ImageManifest ntfsAround(const std::string& dbFile, const std::string& dbName,
                                std::int64_t dbBytes, const std::string& imagePath,
                                const FileSystemImageOptions& o) {
    Random rng({o.seed, 0x17F5u});
    TempDir work;
    const std::int64_t volumeBytes =
        std::max<std::int64_t>(16 << 20, (dbBytes * 3 + (8 << 20)) / (1 << 20) * (1 << 20));

    fs::remove(imagePath);
    { ImageWriter sized(imagePath, volumeBytes); }
    runChecked({"mkntfs", "-F", "-Q", "-q", "-c", std::to_string(o.clusterSectors * 512), "-s",
                std::to_string(o.sectorBytes), "-p", "0", "-H", "0", "-S", "0", "-L", "MDFTEST",
                imagePath});

    // Fill the volume to the last cluster, then free every other filler in the order they lie
    // (ntfs-3g wraps around at the end of the volume, so that is not the order they were written).
    const std::int64_t minFiller = std::max<std::int64_t>(64 << 10, dbBytes / 32);
    std::vector<std::string> fillers;
    for (int i = 1;; ++i) {
        std::string name = "F" + std::to_string(i) + ".BIN";
        std::int64_t size = rng.between(minFiller, minFiller * 2) / 512 * 512 + 512;
        writeFile(work.file(name), junk(rng, static_cast<std::size_t>(size)));
        if (runCommand({"ntfscp", "-q", imagePath, work.file(name), "/" + name}).exitCode != 0)
            break;
        fillers.push_back(name);
    }
    auto inodesOf = [&] {
        std::map<std::string, std::string> inodes;
        std::istringstream list(runChecked({"ntfsls", "-i", imagePath}));
        for (std::string ino, name; list >> ino >> name;)
            inodes[name] = ino;
        return inodes;
    };
    auto inodes = inodesOf();
    std::vector<std::pair<std::int64_t, std::string>> byPlace;
    for (const std::string& f : fillers) {
        auto runs = parseNtfsRunlist(runChecked({"ntfsinfo", "-i", inodes.at(f), "-v", imagePath}));
        if (!runs.empty()) byPlace.push_back({runs.front().first, inodes.at(f)});
    }
    std::sort(byPlace.begin(), byPlace.end());
    for (std::size_t i = 0; i < byPlace.size(); i += 2)
        runChecked({"ntfstruncate", imagePath, byPlace[i].second, "0"});

    // ntfs-3g will not spread one large allocation over many holes, so the file is created and
    // grown piece by piece with ntfsfallocate, as a program writing it in parts would; ntfscp then
    // writes the database into the clusters the file already has.
    writeFile(work.file("seed"), std::vector<std::uint8_t>(1, 0));
    runChecked({"ntfscp", "-q", imagePath, work.file("seed"), "/" + dbName});
    const std::int64_t clusterBytes = o.clusterSectors * 512;
    const std::int64_t piece = std::max(clusterBytes, minFiller / 2 / clusterBytes * clusterBytes);
    for (std::int64_t offset = 0; offset < dbBytes; offset += piece)
        runChecked({"ntfsfallocate", "-o", std::to_string(offset), "-l",
                    std::to_string(std::min(piece, dbBytes - offset)), imagePath, "/" + dbName});
    runChecked({"ntfscp", "-q", imagePath, dbFile, "/" + dbName});
    const std::string dbInode = inodesOf().at(dbName);
    auto runs = parseNtfsRunlist(runChecked({"ntfsinfo", "-i", dbInode, "-v", imagePath}));
    if (runs.empty()) throw std::runtime_error("no run list for the database file");
    ImageManifest m;
    m.kind = "ntfs";
    m.image = fs::path(imagePath).filename().string();
    m.clusterSectors = o.clusterSectors;
    m.scanAsPartition = true;
    m.fileInFreeSpace = o.ntfsMode == NtfsMode::Deleted;
    m.extents = extentsFromClusterRuns(runs, 0, o.clusterSectors, 0, dbBytes);

    if (o.ntfsMode == NtfsMode::Deleted) runChecked({"ntfstruncate", imagePath, dbInode, "0"});
    if (o.ntfsMode == NtfsMode::MftOverwritten) {
        // Find the record through the $MFT's own run list and overwrite it.
        auto mftRuns = parseNtfsRunlist(runChecked({"ntfsinfo", "-i", "0", "-v", imagePath}));
        std::int64_t recordByte = std::stoll(dbInode) * 1024;
        const std::int64_t clusterBytes = o.clusterSectors * 512;
        for (auto [lcn, count] : mftRuns) {
            if (recordByte < count * clusterBytes) {
                ImageWriter image(imagePath);
                image.write(lcn * clusterBytes + recordByte, std::vector<std::uint8_t>(1024, 0));
                break;
            }
            recordByte -= count * clusterBytes;
        }
    }
    return m;
}

ImageManifest buildNtfsImage(const SyntheticDatabase& db, const std::string& imagePath,
                             const FileSystemImageOptions& o) {
    TempDir work;
    const std::string dbName = basenameOf(db.recipe().physicalPath);
    db.writeTo(work.file(dbName));
    ImageManifest m = ntfsAround(work.file(dbName), dbName,
                                 static_cast<std::int64_t>(db.pageCount()) * kPage, imagePath, o);
    describeDatabase(db, m);
    ImageWriter image(imagePath);
    applyDamage(db, image, 0, m, o.damage, o.seed);
    return m;
}

ImageManifest buildNtfsImage(const DatabaseOnDisk& db, const std::string& imagePath,
                             const FileSystemImageOptions& o) {
    ImageManifest m = ntfsAround(db.path, basenameOf(db.physicalPath), db.bytes(), imagePath, o);
    describeDatabase(db, m);
    return m;
}

namespace {

// Copies the volume image into a new disk image at byte offset at, leaving room after it; all
// zero chunks are left as holes.
void placeVolume(const std::string& volume, const std::string& imagePath, std::int64_t at,
                 std::int64_t tailBytes) {
    fs::remove(imagePath);
    const auto volumeBytes = static_cast<std::int64_t>(fs::file_size(volume));
    ImageWriter disk(imagePath, at + volumeBytes + tailBytes);
    std::ifstream in(volume, std::ios::binary);
    std::vector<char> chunk(1 << 20);
    for (std::int64_t offset = 0; in; offset += static_cast<std::int64_t>(chunk.size())) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        auto n = static_cast<std::size_t>(in.gcount());
        if (std::any_of(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n),
                        [](char c) { return c != 0; }))
            disk.write(at + offset,
                       std::span(reinterpret_cast<const std::uint8_t*>(chunk.data()), n));
    }
}

// The manifest of a volume, moved to where the volume starts on the disk.
void movedToDisk(ImageManifest& m, const std::string& imagePath, std::int64_t startSector) {
    m.kind = "disk";
    m.image = fs::path(imagePath).filename().string();
    m.partitionStartSector = startSector;
    for (auto& range : m.unreadableSectors)
        range.first += startSector;
}

}  // namespace

ImageManifest buildDiskImage(const SyntheticDatabase& db, const std::string& imagePath,
                             const FileSystemImageOptions& o) {
    constexpr std::int64_t kStart = 2048;
    TempDir work;
    const std::string partition = work.file("partition.img");
    ImageManifest m = buildFat32Image(db, partition, o);
    const std::int64_t partitionBytes = static_cast<std::int64_t>(fs::file_size(partition));
    placeVolume(partition, imagePath, kStart * 512, 0);
    const std::string script = work.file("table.sfdisk");
    std::ofstream(script) << "label: dos\nstart=" << kStart << ", size=" << partitionBytes / 512
                          << ", type=c\n";
    runChecked({"sfdisk", "--no-reread", "--no-tell-kernel", "-q", imagePath}, {}, script);
    movedToDisk(m, imagePath, kStart);
    return m;
}

ImageManifest buildGptDiskImage(const SyntheticDatabase& db, const std::string& imagePath,
                                const FileSystemImageOptions& o) {
    constexpr std::int64_t kStartBytes = 1 << 20;
    const std::int64_t lba = o.sectorBytes;
    TempDir work;
    const std::string partition = work.file("partition.img");
    ImageManifest m = buildFat32Image(db, partition, o);
    const std::int64_t partitionBytes = static_cast<std::int64_t>(fs::file_size(partition));
    if (partitionBytes % lba != 0)
        throw std::runtime_error("the volume is not a whole number of the disk's sectors");
    // The backup table at the end of the disk needs room after the partition.
    placeVolume(partition, imagePath, kStartBytes, kStartBytes);
    // sfdisk of this util-linux takes no sector size for an image file; fdisk -b does. New GPT,
    // partition 1 from 1 MiB over the volume, type Microsoft basic data, write.
    const std::string first = std::to_string(kStartBytes / lba);
    const std::string last = std::to_string((kStartBytes + partitionBytes) / lba - 1);
    const std::string script = work.file("fdisk.txt");
    std::ofstream(script) << "g\nn\n1\n"
                          << first << "\n"
                          << last << "\nt\nEBD0A0A2-B9E5-4433-87C0-68B6B72699C7\nw\n";
    runChecked({"fdisk", "-b", std::to_string(lba), imagePath}, {}, script);
    movedToDisk(m, imagePath, kStartBytes / 512);
    return m;
}

std::vector<std::string> expectedMissingPageLines(const ImageManifest& m,
                                                  const SyntheticDatabase& db) {
    std::vector<ManifestFragment> sorted = m.fragments;
    std::sort(sorted.begin(), sorted.end(),
              [](const auto& a, const auto& b) { return a.firstPage < b.firstPage; });
    std::set<std::int32_t> lostPfs(m.lostPfsPages.begin(), m.lostPfsPages.end());
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        const std::int32_t from = sorted[i].firstPage + sorted[i].pages;
        const std::int32_t to = i + 1 < sorted.size() ? sorted[i + 1].firstPage : m.pages;
        if (from >= to) continue;
        if (from <= 1 && 1 < to) lines.push_back("lack of PFS page 1");
        for (std::int32_t id = kPfsInterval; id < m.pages; id += kPfsInterval)
            if (from <= id && id < to) lines.push_back("lack of PFS page " + std::to_string(id));
        for (std::int32_t p = from; p < to; ++p)
            if (db.isAllocated(p) && !lostPfs.count(pfsPageOf(p)))
                lines.push_back("lack of page " + std::to_string(p));
    }
    lines.push_back("check done");
    return lines;
}

void saveDatabaseRecipe(const DatabaseRecipe& s, const std::string& path) {
    nlohmann::json j = {{"pages", s.pages},
                        {"used_pages", s.usedPages},
                        {"protection", protectionName(s.protection)},
                        {"file_id", s.fileId},
                        {"seed", s.seed},
                        {"logical_name", s.logicalName},
                        {"physical_path", s.physicalPath},
                        {"objects", s.objects}};
    std::ofstream(path) << j.dump(2) << "\n";
}

DatabaseRecipe loadDatabaseRecipe(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path);
    auto j = nlohmann::json::parse(in);
    DatabaseRecipe s;
    s.pages = j.at("pages");
    s.usedPages = j.at("used_pages");
    s.protection = parseProtection(j.at("protection")).value_or(Protection::Checksum);
    s.fileId = j.at("file_id");
    s.seed = j.at("seed");
    s.logicalName = j.at("logical_name");
    s.physicalPath = j.at("physical_path");
    s.objects = j.at("objects");
    return s;
}

DatabaseOnDisk databaseOnDisk(const std::string& path, const std::string& physicalPath) {
    DatabaseOnDisk db;
    db.path = path;
    db.physicalPath = physicalPath;
    const auto bytes = readFile(path);
    db.pages = static_cast<std::int32_t>(bytes.size() / kPage);
    if (bytes.size() >= 96) db.fileId = loadU16(&bytes[36]);
    db.protection = "real";
    db.sha256 = sha256OfFile(path);
    return db;
}

}  // namespace mdf::test
