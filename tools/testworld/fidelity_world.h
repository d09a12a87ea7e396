#pragma once

// Layouts of real-world disks that lose pages under the plain rules: a file header page alone in
// its cluster, older and damaged copies of the same database beside the current one, two
// databases whose page 32 lies outside their first fragment, a file whose first pages were
// overwritten, and pages whose later pieces lie in clusters of their own.
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "testworld/random.h"
#include "testworld/sector_image.h"
#include "testworld/synthetic_database.h"
#include "testworld/test_world.h"

namespace mdf::test {

// A database file as its pages.
using PageFile = std::vector<Page>;

PageFile pagesOf(const SyntheticDatabase& db);
PageFile readPageFile(const std::string& path);
// The pages the file's first PFS page marks allocated.
std::set<std::int32_t> allocatedPages(const PageFile& file);

// The same page as an older copy holds it: some record bytes different, a log sequence number
// from an earlier log file, its protection made again for those bytes.
Page olderVersion(const Page& page, std::uint64_t salt);
// The page's 96-byte header intact, the rest overwritten: its protection no longer holds.
Page overwrittenBody(const Page& page, std::uint64_t salt);
// Puts torn bits or a checksum on a page whose torn bits have been put back, as byte 5 says.
void protectAgain(Page& page);

// A raw image laid out run after run: junk between the runs, never a gap that would let the
// scan join two runs into one.
class LayoutImage {
  public:
    LayoutImage(std::string path, std::int64_t sectors, std::uint64_t seed);

    const std::string& path() const { return image_.path(); }
    // Places pages firstPage.. of the list at the next free place (after some junk) and returns
    // the first sector.
    std::int64_t place(std::int32_t firstPage, const std::vector<Page>& pages);
    // The sector the next run would begin at.
    std::int64_t cursor() const { return cursor_; }
    void skipTo(std::int64_t sector) { cursor_ = std::max(cursor_, sector); }
    // Junk of a few sectors, so that the run before ends there.
    void junk(std::int64_t sectors);

  private:
    SectorImage image_;
    Random rng_;
    std::int64_t cursor_ = 64;
    std::int64_t lastFirstSector_ = -1;
    std::int32_t lastFirstPage_ = 0;
};

// Pages from .. to-1 of a file cut into runs of minPages .. maxPages, in page order.
std::vector<std::pair<std::int32_t, std::vector<Page>>> cutIntoRuns(const PageFile& file,
                                                                    std::int32_t from,
                                                                    std::int32_t to, Random& rng,
                                                                    int minPages, int maxPages);

// What a layout put where: the page ids whose current, intact form lies on the image.
struct Layout {
    std::string image;
    std::set<std::int32_t> onImage;
};

// The file's pages 1.. as runs in shuffled order, page 0 alone somewhere between them (junk
// after it), as on a volume with 8 KB clusters where page 1 went elsewhere.
Layout loneHeaderLayout(const PageFile& file, const std::string& path, std::uint64_t seed);
// The current file in runs, and an older copy of its pages 2.. (one page in five changed) cut
// at other places, the two interleaved.
Layout olderCopyLayout(const PageFile& file, const std::string& path, std::uint64_t seed);
// The current file in runs; before each of some runs (nearer to the run before it), a copy of
// the same pages whose headers survived and whose bodies were overwritten.
Layout damagedCopyLayout(const PageFile& file, const std::string& path, std::uint64_t seed);
// Two databases of file id 1, each with a first fragment of headPages (at most 32) pages and
// the rest in runs elsewhere, the two interleaved. onImage holds the first file's pages;
// secondOnImage the second's.
Layout twoDatabasesLayout(const PageFile& first, const PageFile& second, std::int32_t headPages,
                          const std::string& path, std::uint64_t seed,
                          std::set<std::int32_t>* secondOnImage);
// The file in runs, its first lost pages overwritten by junk (not on the image).
Layout lostStartLayout(const PageFile& file, std::int32_t lost, const std::string& path,
                       std::uint64_t seed);

// The file in runs at cluster boundaries of a volume with clusterSectors (1 or 8) sectors per
// cluster; the last page of most runs split: its first clusters in place (junk after them), its
// other sectors in a cluster of their own among junk far from every run, where no header marks
// them. splitPages receives the page ids split.
Layout splitPageLayout(const PageFile& file, int clusterSectors, const std::string& path,
                       std::uint64_t seed, std::set<std::int32_t>* splitPages);

// buildFat32Image with 16-sector clusters, then page 0 moved to a free cluster far from page 1
// and its own cluster overwritten: the layout a volume with 8 KB clusters leaves when page 0
// and page 1 were given clusters apart. The manifest is changed to match.
ImageManifest buildFat32LoneHeaderImage(const SyntheticDatabase& db, const std::string& imagePath,
                                        std::uint64_t seed);

}  // namespace mdf::test
