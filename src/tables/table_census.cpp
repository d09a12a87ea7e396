#include "tables/table_census.h"

#include <algorithm>
#include <set>

#include "tables/unit_pages.h"

namespace mdf {
namespace {

constexpr std::uint8_t kDataPage = 1;

std::int64_t countRows(const DatabasePages& file, const std::vector<std::int32_t>& pages,
                       AllocationUnitId unit) {
    std::int64_t rows = 0;
    for (std::int32_t p : pages) {
        const PageFacts& f = file.facts(p);
        if (f.condition == PageCondition::Sound && headerNamesUnit(f.unit, unit) &&
            f.type == kDataPage && f.level == 0)
            rows += f.rowRecords;
    }
    return rows;
}

void addUnit(const DatabasePages& file, const AllocationUnitInfo& unit, bool holdsRows,
             TableCensus& t) {
    const UnitPages owned = unitPages(file, unit.id, unit.firstIam);
    t.units.push_back(unit.id);
    t.allocationUncertain = t.allocationUncertain || owned.pfsLost;
    t.lostIamPages.insert(t.lostIamPages.end(), owned.lostIamPages.begin(),
                          owned.lostIamPages.end());
    t.pages += static_cast<std::int64_t>(owned.pages.size() + owned.iamPages.size());
    t.pagesPresent += static_cast<std::int64_t>(owned.iamPages.size());
    for (std::int32_t p : owned.pages) {
        const PageFacts& f = file.facts(p);
        if (f.condition == PageCondition::Zero || f.condition == PageCondition::Unreadable)
            t.pagesMissing.push_back(p);
        else if (f.condition != PageCondition::Sound || !headerNamesUnit(f.unit, unit.id))
            t.pagesFailing.push_back(p);
        else
            ++t.pagesPresent;
        if (holdsRows && f.condition == PageCondition::Sound && headerNamesUnit(f.unit, unit.id) &&
            f.type == kDataPage && f.level == 0)
            ++t.dataPages;
    }
    if (holdsRows) t.rows += countRows(file, owned.pages, unit.id);
}

bool knownUnit(const Catalogue& catalogue, AllocationUnitId header) {
    if (catalogue.units.count(header)) return true;
    const AllocationUnitId legacyClustered = header | (AllocationUnitId{1} << 48);
    return catalogue.units.count(legacyClustered) && headerNamesUnit(header, legacyClustered);
}

}  // namespace

FileCensus takeCensus(const DatabasePages& file, const Catalogue& catalogue) {
    FileCensus census;
    census.problems = catalogue.problems;
    for (const auto& [id, table] : catalogue.tables) {
        TableCensus t;
        t.objectId = id;
        t.schema = table.schema;
        t.name = table.name;
        t.unitsLost = true;
        for (const RowsetInfo* rowset : catalogue.rowsetsOf(id)) {
            const bool dataRowset = rowset->index <= 1;
            if (dataRowset) t.catalogueRows += rowset->rows;
            for (const AllocationUnitInfo* unit : catalogue.unitsOf(rowset->id)) {
                addUnit(file, *unit, dataRowset && unit->kind == UnitKind::InRow, t);
                t.unitsLost = false;
            }
        }
        for (auto* list : {&t.pagesMissing, &t.pagesFailing, &t.lostIamPages}) {
            std::sort(list->begin(), list->end());
            list->erase(std::unique(list->begin(), list->end()), list->end());
        }
        census.tables.push_back(std::move(t));
    }
    std::sort(census.tables.begin(), census.tables.end(),
              [](const TableCensus& a, const TableCensus& b) {
                  return std::tie(a.schema, a.name) < std::tie(b.schema, b.name);
              });

    // Data pages of units the catalogue does not name: what is left of tables whose entries are
    // lost.
    std::map<AllocationUnitId, UnknownUnit> unknown;
    for (std::int64_t p = 0; p < file.pageCount(); ++p) {
        const PageFacts& f = file.facts(p);
        if (f.condition != PageCondition::Sound || f.type != kDataPage ||
            knownUnit(catalogue, f.unit) || !file.allocated(p).value_or(true))
            continue;
        UnknownUnit& u = unknown[f.unit];
        u.id = f.unit;
        ++u.pages;
    }
    for (auto& [id, u] : unknown) {
        std::vector<std::int32_t> pages = file.pagesNaming(id);
        std::erase_if(pages, [&](std::int32_t p) { return !file.allocated(p).value_or(true); });
        u.rows = countRows(file, pages, id);
        census.unknownUnits.push_back(u);
    }
    return census;
}

std::vector<std::string> tablesHit(const FileCensus& census) {
    std::vector<std::string> lines;
    for (const TableCensus& t : census.tables) {
        if (t.whole()) continue;
        std::string line = t.qualifiedName() + ": ";
        const std::size_t bad = t.pagesMissing.size() + t.pagesFailing.size();
        if (bad > 0) {
            line += std::to_string(bad) + " of " + std::to_string(t.pages) + " pages ";
            line += t.pagesFailing.empty()   ? "missing"
                    : t.pagesMissing.empty() ? "failing"
                                             : "missing or failing";
        }
        auto also = [&](const std::string& what) {
            line += (line.back() == ' ' ? "" : "; ") + what;
        };
        if (!t.lostIamPages.empty()) {
            std::string what = "its allocation map is lost (IAM page";
            for (std::int32_t p : t.lostIamPages)
                what += " " + std::to_string(p);
            also(what + ")");
        }
        if (t.allocationUncertain)
            also("a PFS page over its extents is lost: a page of it that is zero may be lost");
        if (t.unitsLost) also("its rowsets and allocation units are lost from the catalogue");
        lines.push_back(line);
    }
    return lines;
}

}  // namespace mdf
