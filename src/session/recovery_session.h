#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "scan/fragment_list.h"
#include "session/reporter.h"
#include "source/free_space_map.h"
#include "source/scan_settings.h"
#include "source/sector_source.h"
#include "source/source_selection.h"
#include "source/volume_layout.h"

namespace mdf {

// Everything one recovery works on: the source, what the scan found, what the analysis
// concluded. The window owns one; a command-line run owns one; a test makes its own.
class RecoverySession {
public:
    explicit RecoverySession(Reporter& reporter, FileOpener opener = openReadOnly);
    RecoverySession(const RecoverySession&) = delete;
    RecoverySession& operator=(const RecoverySession&) = delete;

    SourceContext sourceContext() { return {source, volume, settings, sourceChosen, reporter}; }

    Reporter& reporter;

    // The data source and the scan settings its choice filled.
    SectorSource source;
    VolumeLayout volume;
    ScanSettings settings;
    bool sourceChosen = false;
    FreeSpaceMap freeSpace;

    // What the scans found.
    FragmentList fragments;
    FragmentIndex index;
    // Set while no scan runs; the stop commands set it to end a running scan.
    std::atomic<bool> stopRequested{true};
    std::uint16_t scanFileId = 1;
    // True while fragment pages come from the source, false once saved content is open.
    bool readFromSource = true;
};

}  // namespace mdf
