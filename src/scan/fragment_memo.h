#pragma once

#include <cstdint>
#include <string>

#include "scan/fragment_list.h"

namespace mdf {

class Reporter;
class SectorSource;

// What recording a fragment needs: where its pages are read for the memo, where the record goes,
// and the start-page limit of the data-source tab.
struct FragmentRecorder {
    SectorSource& source;
    Reporter& reporter;
    FragmentList& fragments;
    // Set by the scan before it records a fragment that begins with page 0: "wrong file head"
    // for one found from its file header page, or the memo of the fragment a joined run replaces.
    std::string& pendingMemo;
    bool startPageLimit = false;
    std::int32_t maxStartPage = 0;
};

// Records a fragment of pages pages at firstSector starting with page id firstPage, with the
// memo its first page calls for. False when the start-page limit leaves it out, or when a page
// needed for the memo cannot be read ("read disk error").
bool addFragment(FragmentRecorder& recorder, std::int32_t sn, std::int32_t pages,
                 std::int64_t firstSector, std::int32_t firstPage);

}  // namespace mdf
