#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "assembly/assembly_context.h"
#include "assembly/file_verdict.h"

namespace mdf {

// A run of page ids written as zero pages.
struct PageRange {
    std::int32_t first = 0;
    std::int64_t count = 0;
};

// What was written, page by page, as each page's own protection tells it.
struct AssemblyOutcome {
    bool written = false;
    std::string error;       // why no file was written
    bool stopped = false;    // asked to stop: no file was written
    std::int64_t pages = 0;  // pages in the file written
    std::string sha256;      // of the file written, computed as it was written

    std::int64_t verifiedPages = 0;     // intact by their own checksum or torn-page bits
    std::int64_t unprotectedPages = 0;  // data without checksum or torn bits: cannot be verified
    std::int64_t emptyPages = 0;        // all-zero pages that a fragment holds
    std::vector<std::int32_t> failedPages;      // fail the protection they carry: damaged
    std::vector<std::int32_t> unreadablePages;  // written as zeros because a read failed
    std::vector<std::int32_t> restoredPages;    // put together from pieces by the analysis
    std::vector<PageRange> zeroFilled;          // no fragment holds them: written as zeros
    std::int64_t zeroFilledPages = 0;
    std::int64_t cutPages = 0;  // padding the file header asked for beyond what the source holds
    // The file as written, judged as a database: what the result is called by.
    Verdict verdict;

    // Every page there and none damaged or unreadable (pages no fragment holds may still be
    // missing: the missing-page check tells which of those the file needs).
    bool intact() const { return written && failedPages.empty() && unreadablePages.empty(); }
};

// Writes the rows of the combination list, in their order, into a new file: zero pages for gaps,
// the boundary page repaired where clusters are smaller than a page, zero pages up to the file's
// own page count (never beyond what the source can hold). Each page is verified by its own
// protection and hashed as it is written. The file is written under a temporary name and renamed
// at the end, so that a failed or interrupted write never leaves half a file under the name asked
// for. The output guard refuses the source, its links and its device.
AssemblyOutcome writeMdf(AssemblyContext& ctx, const std::string& outputPath);

// The file name proposed for the MDF: the part of the lost file's own path after its last
// backslash.
std::string defaultMdfName(const std::string& lostFileName);

}  // namespace mdf
