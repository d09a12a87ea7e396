#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analysis/candidate_ranking.h"
#include "scan/page_protection.h"

namespace mdf {

// Where a page of a written file came from, as the writer knows it.
enum class PageSource : std::uint8_t {
    Run,         // read whole from one run of consecutive sectors
    Pieced,      // put together from more than one place
    FileRuns,    // put together by following the run list of a file the volume still holds
    Gap,         // no fragment holds it: zeros
    Unreadable,  // its read failed: zeros
};

// The pages a verdict names, each list ascending.
struct VerdictFindings {
    std::vector<std::int32_t>
        missingAllocated;  // the file's own maps allocate it; written as zeros
    // Written as zeros where no PFS page of the file is left to tell whether it was allocated.
    std::vector<std::int32_t> missingAllocationUnknown;
    std::vector<std::int32_t> unreadable;         // allocated, and its read failed
    std::vector<std::int32_t> failingProtection;  // its checksum or torn bits do not hold
    std::vector<std::int32_t> failingStructure;   // its id, header, slot array or records are wrong
    std::vector<std::int32_t> unverifiable;       // without protection, and pieced together
    std::vector<std::int32_t> otherDatabase;      // another file's or allocation unit's page
    std::vector<std::int32_t> staleCopy;          // a newer copy that verifies was seen
    // Taken from a fragment that fragments of another database could as well have been: nothing
    // ties it to this file.
    std::vector<std::int32_t> takenWithoutEvidence;
    std::vector<std::pair<std::int32_t, std::int32_t>> brokenLinks;  // next and previous disagree

    bool empty() const;
};

// The judgement of a written file as a database: complete only when every page its own
// allocation pages give as allocated is present, its own (its page id, its file's id, an owner an
// IAM page of the file claims it for) and verified by its own protection, or, without
// protection, read whole from one run and sound in its structure.
struct Verdict {
    bool complete = false;
    std::int64_t pages = 0;           // in the file
    std::int64_t allocatedPages = 0;  // by the file's own PFS pages
    std::int64_t verifiedPages = 0;   // allocated, and their checksum or torn bits hold
    std::int64_t soundPages = 0;      // allocated, without protection, whole and sound
    std::int64_t pagesCut = 0;        // the file header asked for more than could be written
    VerdictFindings findings;
    // Pages written from a newer copy than the one the assembly first took (information).
    std::vector<std::int32_t> newerCopiesTaken;
};

// Judges a database file from its pages, handed over in page order as they are written or read
// (never from what the assembly believed about them). Keeps a few bytes per page and the file's
// allocation pages whole; the judgement itself is made when every page has been seen.
class FileVerifier {
  public:
    void page(std::int32_t pageId, ConstPageBytes bytes, PageSource source);
    // count pages of zeros from first on.
    void zeros(std::int32_t first, std::int64_t count, PageSource source);

    // What the session knows beyond the bytes: for pages the scan saw more than one copy of that
    // verifies, the newest log sequence number among the copies the file's header pages allow.
    void newestCopies(std::map<std::int32_t, LogSequence> newest) { newest_ = std::move(newest); }
    void newerCopiesTaken(std::vector<std::int32_t> pages) { newerTaken_ = std::move(pages); }
    void pagesCut(std::int64_t cut) { pagesCut_ = cut; }
    // Pages [first, end) written from fragments the analysis took by a guess.
    void takenWithoutEvidence(std::vector<std::pair<std::int32_t, std::int32_t>> ranges) {
        guessed_ = std::move(ranges);
    }

    Verdict finish();

  private:
    struct Note {
        std::uint8_t type = 0;
        std::uint8_t flags = 0;
        PageSource source = PageSource::Gap;
        std::uint16_t fileId = 0;
        std::int32_t owner = 0;  // the header's object id
        std::int32_t previous = 0, next = 0;
        LogSequence lsn;
    };
    void noteAt(std::int32_t pageId, const Note& note);

    std::vector<Note> notes_;
    // The file's allocation pages (PFS, GAM, SGAM, IAM), whole, by page id.
    std::map<std::int32_t, std::vector<std::uint8_t>> allocationPages_;
    std::map<std::int32_t, LogSequence> newest_;
    std::vector<std::int32_t> newerTaken_;
    std::vector<std::pair<std::int32_t, std::int32_t>> guessed_;
    std::int64_t pagesCut_ = 0;
};

}  // namespace mdf

namespace mdf {

// Judges a database file on disk, read front to back (read only). Nothing, with the reason in
// error, when it cannot be read; a file that is not a whole number of pages is judged on its whole
// pages, and error says so.
// progress is told how far the reading has come, in percent, whenever that changes.
std::optional<Verdict> verifyMdfFile(const std::string& path, std::string& error,
                                     const std::function<void(int percent)>& progress = {});

}  // namespace mdf
