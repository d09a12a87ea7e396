#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "testworld/page_builder.h"
#include "testworld/random.h"

namespace mdf::test {

enum class Protection { Checksum, TornBits, None };
std::string protectionName(Protection p);
std::optional<Protection> parseProtection(const std::string& name);

// What a page of a synthetic database is.
enum class PageRole : std::uint8_t {
    Unused,      // beyond the used part of the file: 8192 zero bytes
    FileHeader,  // page 0
    Pfs,         // page 1 and every multiple of 8088
    Gam,
    Sgam,
    Diff,
    Ml,
    Boot,      // page 9
    Iam,       // one per object and GAM interval
    Data,      // type 1, linked to its object's neighbours
    Index,     // type 2
    FileName,  // page 32: the logical name and the file's own path
    Ghost,     // deallocated: a dropped object's old page, not allocated in the PFS
};

struct DatabaseRecipe {
    std::int32_t pages = 512;    // the file's size in pages, as page 0 states it
    std::int32_t usedPages = 0;  // pages 0 .. usedPages-1 carry content; 0: three quarters
    Protection protection = Protection::Checksum;
    std::uint16_t fileId = 1;
    std::uint64_t seed = 1;
    std::string logicalName = "Sales";
    std::string physicalPath = "D:\\data\\Sales.mdf";
    int objects = 6;  // 2 to 8 objects, the first holding the file name
};

// A SQL Server primary data file made up page by page from a seed: the file header page, PFS
// pages agreeing with what is allocated, GAM/SGAM/DIFF/ML and boot pages, objects with IAM
// pages (single-page slots and extent bitmaps) whose data and index pages are chained by their
// previous/next links. Every page in the used part carries a header; the rest is zero. Pages are
// made on demand, so a multi-gigabyte file costs a few bytes of memory per page.
class SyntheticDatabase {
  public:
    explicit SyntheticDatabase(DatabaseRecipe recipe);

    const DatabaseRecipe& recipe() const { return recipe_; }
    std::int32_t pageCount() const { return recipe_.pages; }
    std::int32_t usedPages() const { return used_; }
    PageRole role(std::int32_t pageId) const { return roles_.at(static_cast<std::size_t>(pageId)); }
    // Allocated according to the PFS pages.
    bool isAllocated(std::int32_t pageId) const;
    // Owner object id: 99 for allocation pages, 0 for unused pages.
    std::int32_t owner(std::int32_t pageId) const;
    std::vector<std::int32_t> objectIds() const;

    Page page(std::int32_t pageId) const;
    // A page with the same page id and file id from another time: another owner, other content,
    // intact by its own protection. What stale copies on a disk look like.
    Page stalePage(std::int32_t pageId, std::uint64_t salt) const;

    void writeTo(const std::string& path) const;
    std::string sha256() const;

  private:
    struct Object {
        std::int32_t id = 0;
        std::uint8_t pageType = 1;
        std::vector<std::int32_t> pages;        // every page the object owns, in page order
        std::vector<std::int32_t> singlePages;  // mixed-extent pages, at most 8
        std::vector<std::int32_t> iamPages;     // one per GAM interval, interval order
    };

    void planLayout();
    void assign(std::int32_t pageId, PageRole role, int object);
    std::uint8_t pfsByte(std::int32_t pageId) const;
    void fillRecords(PageBuilder& b, Random& rng, int fullness) const;
    void protect(PageBuilder& b, std::int32_t pageId) const;
    PageBuilder pfsPage(std::int32_t pageId) const;
    PageBuilder iamPage(std::int32_t pageId, int object) const;
    PageBuilder objectPage(std::int32_t pageId, int object, bool withRecords) const;
    PageBuilder fileNamePage() const;
    PageBuilder systemPage(std::int32_t pageId, std::uint8_t type) const;
    PageBuilder unrelatedPage(std::int32_t pageId, std::int32_t ownerId, std::uint64_t salt) const;

    DatabaseRecipe recipe_;
    std::int32_t used_ = 0;
    std::vector<PageRole> roles_;
    std::vector<std::uint8_t> objectOf_;  // index into objects_, kNoObject for none
    std::vector<Object> objects_;
    std::int32_t droppedObjectId_ = 0;
};

inline constexpr std::int32_t kGamInterval = 511232;
inline constexpr std::int32_t kPfsInterval = 8088;

}  // namespace mdf::test
