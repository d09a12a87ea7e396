#include "session/catalogue_names.h"

#include <map>
#include <utility>

#include "analysis/file_names.h"
#include "report/reporter.h"
#include "scan/file_header_readers.h"

namespace mdf {

void nameShortHeads(std::vector<CatalogueRow>& rows, const FragmentList& fragments,
                    const FragmentIndex& index, PageOrigin& pages, std::uint16_t sectorsPerCluster,
                    Reporter& reporter) {
    std::vector<std::pair<CatalogueRow*, ResolvedFileName>> named;
    std::map<std::int32_t, int> heads;  // fragment page 32 was read from -> heads that reach it
    for (CatalogueRow& row : rows) {
        if (row.sizeKB / 8 > 32) continue;
        auto name =
            resolveFileName(fragments, index, pages, sectorsPerCluster, row.fsec, row.sizeKB);
        if (!name) continue;
        ++heads[name->fromRecord];
        named.push_back({&row, *name});
    }
    for (auto& [row, name] : named) {
        // A page 32 that the chains of several heads reach is tied to none of them by evidence:
        // a wrong name is worse than none.
        if (heads[name.fromRecord] > 1) {
            reporter.say(Memo::Analysis,
                         said(Saying::NameReachedFromSeveralHeads, name.fromRecord + 1, name.path));
            continue;
        }
        row->resolvedPath = name.path;
        row->name = name.path + "(" + fileSizeText(name.pageCount);
        reporter.say(Memo::Analysis,
                     said(Saying::NameFromFragment, name.fromRecord + 1, name.path));
    }
}

}  // namespace mdf
