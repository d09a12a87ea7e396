#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace mdf {

// Everything the core tells people in words that a front end may give in another language, as a
// code and its values. The core never builds such a text itself: the window words it as its log
// always has, the command line by --lang, and no front end has to read a text back to learn what
// happened or to translate it. Fragment numbers among the values are list rows, counted from 1.
enum class Saying : std::uint16_t {
    // The scan's log.
    BootSectorDamaged,         // why
    NoClusterSize,             // byte 13 of the volume's first sector
    AllocationDataUnreadable,  //
    EndPastSource,             // the sector the scan ends at
    LoneFileHeader,            // its sector
    NewSourceNewList,          // the old list's source
    ContentWithoutRecord,      // the content file
    // The analysis's log.
    FoundFragment,                // row
    PageInfoError,                // row
    AnalysisEnded,                //
    HeadLogSequence,              // the file head's newest LSN
    PreferredIntact,              // row taken, row left, evidence of each
    PreferredAllowed,             // the same
    PreferredNewer,               // the same
    PreferredReachesFurther,      // the same
    ChoseWithoutEvidence,         // row taken, row left
    WalkAgainFromEvidence,        //
    TookSoleCandidate,            // row
    LoneHeaderWithoutPageOne,     //
    LoneHeaderPageOneFrom,        // row
    HeaderLostRebuilding,         // the file's name
    MapFromEveryFragment,         //
    MapFromEveryFragmentNoName,   //
    EstimatedPageCount,           // pages
    NameFromFragment,             // row, name
    NameReachedFromSeveralHeads,  // row, name
    NameFromPiecedPage,           // name
    // The assembly's log.
    FoundConfirmedFragment,    // row
    FoundUnconfirmedFragment,  // row
    SearchPageInfoError,       // row
    SearchMoreFound,           // count
    HeaderStatesMorePages,     // pages stated, pages the source holds
    CreateMdfFinished,         // the file written
    NewerCopyWritten,          // page, its LSN
    TableHit,                  // "schema.table: n of m pages missing"
    SplitSearch,               // (a status)
    SplitPagePieced,           // page
    SplitPageFollowedFile,     // page
    SplitPageAmbiguous,        // page
    SplitSearchDone,           // pages pieced, pages sought, clusters unclaimed
    SplitSearchReads,          // stretches taken from the scan's sums, read again from the source
    Stopped,                   // (asked to stop: the work ended where it was)
    WritingFile,               // the file being written (a status)
    // Messages.
    Success,              //
    Saved,                //
    ChooserSaved,         //
    ProcessDone,          //
    InvalidDrive,         //
    ChooseSourceFirst,    //
    ListOfAnotherSource,  // the list's source
    CannotOpenFile,       //
    CannotCreateFile,     // name, why
    Statistics,           // fragments, KB
};

struct Said {
    Saying saying;
    std::vector<std::string> values;
};

// The two wordings: the window's (the system's Chinese texts, and "中文(English)" where a text
// says it in both), which a terminal set to Chinese prints too; and English alone.
enum class Wording { Window, English };

std::string worded(const Said& said, Wording wording);

// Whether it only confirms that a step worked: a quiet terminal leaves it out.
bool isConfirmation(Saying saying);

namespace said_detail {
inline std::string value(std::string_view v) {
    return std::string(v);
}
template <class Number, std::enable_if_t<std::is_arithmetic_v<Number>, int> = 0>
std::string value(Number n) {
    return std::to_string(n);
}
}  // namespace said_detail

template <class... Values>
Said said(Saying saying, const Values&... values) {
    return {saying, {said_detail::value(values)...}};
}

}  // namespace mdf
