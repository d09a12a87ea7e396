#include "session/catalogue_names.h"

#include "analysis/file_names.h"
#include "report/reporter.h"
#include "scan/file_header_readers.h"

namespace mdf {

void nameShortHeads(std::vector<CatalogueRow>& rows, const FragmentList& fragments,
                    const FragmentIndex& index, PageOrigin& pages, std::uint16_t sectorsPerCluster,
                    Reporter& reporter) {
    for (CatalogueRow& row : rows) {
        if (row.sizeKB / 8 > 32) continue;
        auto name =
            resolveFileName(fragments, index, pages, sectorsPerCluster, row.fsec, row.sizeKB);
        if (!name) continue;
        row.resolvedPath = name->path;
        row.name = name->path + "(" + fileSizeText(name->pageCount);
        reporter.say(Memo::Analysis,
                     said(Saying::NameFromFragment, name->fromRecord + 1, name->path));
    }
}

}  // namespace mdf
