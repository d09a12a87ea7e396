#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "scan/page_protection.h"
#include "source/platform_file.h"

namespace mdf {

// The 64-bit allocation unit id a page header names: its index id and object id fields.
using AllocationUnitId = std::uint64_t;

// What a page of the file is worth as evidence.
enum class PageCondition : std::uint8_t {
    Sound,            // its own page id, its protection holds (or it has none), its layout holds
    Zero,             // all zeros: never written, or lost
    WrongPage,        // the header names another page or another file
    FailsProtection,  // its checksum or torn bits do not hold
    FailsStructure,   // its header or slot array is not a page's
    Unreadable,
};

struct PageFacts {
    AllocationUnitId unit = 0;
    std::uint8_t type = 0;
    std::uint8_t level = 0;
    PageCondition condition = PageCondition::Zero;
    std::uint16_t rowRecords = 0;  // a sound leaf data page's records that are rows
};

using Page = std::array<std::uint8_t, 8192>;

// A database file read page by page (read only), with one pass over it to know each page's
// condition, the allocation unit its header names, and the file's own PFS allocation bytes.
class DatabasePages {
  public:
    static std::unique_ptr<DatabasePages> open(const std::string& path, std::string& error);
    // The same over a file already opened; what the error says names it as name.
    static std::unique_ptr<DatabasePages> read(std::unique_ptr<RandomAccessFile> file,
                                               std::int64_t bytes, const std::string& name,
                                               std::string& error);

    std::int64_t pageCount() const { return static_cast<std::int64_t>(facts_.size()); }
    const PageFacts& facts(std::int64_t page) const {
        return facts_[static_cast<std::size_t>(page)];
    }
    bool sound(std::int64_t page) const {
        return page >= 0 && page < pageCount() && facts(page).condition == PageCondition::Sound;
    }
    // A sound page's bytes, with its torn bits put back; false for any other.
    bool read(std::int64_t page, Page& out) const;

    // The file's id within its database, as its pages give it; nothing before any page gave it.
    std::optional<std::uint16_t> fileId() const {
        return fileIdKnown_ ? std::optional(fileId_) : std::nullopt;
    }

    // The PFS byte's allocated bit; nothing where the PFS page covering it is not sound.
    std::optional<bool> allocated(std::int64_t page) const;

    // Sound pages whose header names the unit, ascending.
    std::vector<std::int32_t> pagesNaming(AllocationUnitId unit) const;

  private:
    std::unique_ptr<RandomAccessFile> file_;
    std::uint16_t fileId_ = 1;
    std::vector<PageFacts> facts_;
    // The sound PFS pages, by the first page each describes.
    std::map<std::int64_t, std::vector<std::uint8_t>> pfs_;
    std::map<AllocationUnitId, std::vector<std::int32_t>> byUnit_;

    void survey(std::int64_t page, PageBytes bytes);
    bool fileIdKnown_ = false;
};

AllocationUnitId allocationUnitOf(ConstPageBytes page);

// Whether a page whose header gives the first id belongs to the unit. Files upgraded from SQL
// Server 2000 keep that version's headers: the data pages of a clustered index give index 0 where
// the unit (and its IAM and index pages) give 1.
bool headerNamesUnit(AllocationUnitId header, AllocationUnitId unit);
// "zero", "wrong page", "checksum fails", ...
const char* pageConditionText(PageCondition condition);

}  // namespace mdf
