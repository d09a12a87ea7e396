#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tables/catalogue.h"
#include "tables/database_pages.h"
#include "tables/record.h"

namespace mdf {

// What came back of one table: its pages (all its indexes, LOB and row-overflow data), which of
// them are missing or fail, and the rows its data pages still hold.
struct TableCensus {
    std::int32_t objectId = 0;
    std::string schema, name;
    std::int64_t catalogueRows = 0;          // as the catalogue last counted them
    std::int64_t rows = 0;                   // records on its data pages that are present
    std::int64_t dataPages = 0;              // pages of its heap or clustered index rows
    std::int64_t pages = 0;                  // every page it owns
    std::int64_t pagesPresent = 0;           // owned, and sound
    std::vector<std::int32_t> pagesMissing;  // owned, and zero or unreadable
    std::vector<std::int32_t> pagesFailing;  // owned, and failing or another unit's page
    std::vector<std::int32_t> lostIamPages;  // its allocation map is incomplete
    // A PFS page over its extents is lost: a zero page there cannot be told from an unused one.
    bool allocationUncertain = false;
    // The catalogue names the table but none of its rowsets or allocation units is left.
    bool unitsLost = false;
    std::vector<AllocationUnitId> units;

    bool whole() const {
        return pagesMissing.empty() && pagesFailing.empty() && lostIamPages.empty() &&
               !allocationUncertain && !unitsLost;
    }
    std::string qualifiedName() const { return schema + "." + name; }
};

// Pages that belong to no allocation unit the catalogue knows of (its own pages lost).
struct UnknownUnit {
    AllocationUnitId id = 0;
    std::int64_t pages = 0;
    std::int64_t rows = 0;
};

struct FileCensus {
    std::vector<TableCensus> tables;  // by schema and name
    std::vector<UnknownUnit> unknownUnits;
    std::vector<std::string> problems;  // of the catalogue itself
    bool catalogueWhole() const { return problems.empty(); }
};

FileCensus takeCensus(const DatabasePages& file, const Catalogue& catalogue);

// One line per table that is not whole: "dbo.Orders: 3 of 41 pages missing",
// "dbo.Items: its allocation map is lost (IAM page 80)".
std::vector<std::string> tablesHit(const FileCensus& census);

}  // namespace mdf
