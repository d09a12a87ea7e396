#pragma once

#include <atomic>
#include <cstdint>

#include "scan/fragment_list.h"
#include "session/reporter.h"
#include "source/sector_source.h"

namespace mdf {

// Everything one recovery works on: the source, what the scan found, what the analysis
// concluded. The window owns one; a command-line run owns one; a test makes its own.
class RecoverySession {
public:
    explicit RecoverySession(Reporter& reporter, FileOpener opener = openReadOnly);
    RecoverySession(const RecoverySession&) = delete;
    RecoverySession& operator=(const RecoverySession&) = delete;

    Reporter& reporter;
    SectorSource source;
    FragmentList fragments;
    FragmentIndex index;

    // Set while no scan runs; the stop commands set it to end a running scan.
    std::atomic<bool> stopRequested{true};
    std::uint16_t scanFileId = 1;
    // True while fragment pages come from the source, false once saved content is open.
    bool readFromSource = true;
};

}  // namespace mdf
