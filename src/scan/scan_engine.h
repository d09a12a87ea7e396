#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "scan/fragment_list.h"
#include "source/free_space_map.h"
#include "source/scan_settings.h"
#include "source/volume_layout.h"

namespace mdf {

class WindowObserver;

class Reporter;
class SectorSource;

inline constexpr std::int64_t kMergeDistanceLimit = 129408;  // sectors

// The date and time that follow the scan's log words, as "2026-12-08 14:03:27".
std::string currentDateTime();

// Where a scan stands between two positions: all a later scan needs to go on from there and find
// exactly what one uninterrupted scan would have found. The window's start is kept too: on a
// failing disk, which position a window read falls on decides what reads as unreadable, and the
// same windows give the same reads.
struct ScanPosition {
    std::int64_t cursor = -1;  // the next position to examine; -1 when no scan has begun
    std::int64_t skip = 0;     // positions below it lie inside the last run followed
    std::int64_t windowStart = 0;
    std::int32_t counter = 0;  // serial number of the last fragment recorded
};

// What one scan reads and changes.
// The first sectors of a page of the wanted file, read from free space only, whose later clusters
// are in use: no run may take it, and its other pieces are to be looked for elsewhere.
struct SplitHead {
    std::int64_t sector = 0;
    std::int32_t pageId = 0;
    std::int32_t freeSectors = 0;  // how many of its sectors lie in free clusters
};

struct ScanContext {
    SectorSource& source;
    VolumeLayout& volume;
    ScanSettings& settings;
    FreeSpaceMap& freeSpace;
    FragmentList& fragments;
    FragmentIndex& index;
    std::atomic<bool>& stopRequested;
    std::uint16_t scanFileId;
    std::string& pendingMemo;
    Reporter& reporter;
    std::function<std::string()> now = currentDateTime;
    WindowObserver* windowObserver = nullptr;
    // Runs when the last sector is done and the index is built, before "finished" is told: what
    // a front end may rely on once it sees "finished" is done by then.
    std::function<void()> completing = {};
    // In: where to go on from (a cursor of -1 starts at the start sector). Out: where the scan
    // stood when it ended, whichever way it ended.
    ScanPosition* position = nullptr;
    // The position being examined, for a front end's gauge on another thread.
    std::atomic<std::int64_t>* reached = nullptr;
    // Out: first sectors of the pages that end a run and prove themselves sound as the scan read
    // them (they verify, or carry no protection), where the window held all of such a page. The
    // search for split pages reads every row's last page to find those that do not verify; these
    // it need not read again, one seek per fragment on a spinning disk.
    std::vector<std::int64_t>* soundRunEnds = nullptr;  // ascending
    // Out, with free space only: every page head whose later sectors lie in a cluster in use.
    std::vector<SplitHead>* splitHeads = nullptr;
    // Called on the scan's worker, between two positions, at most once per interval, with the
    // position (and the fragments) as they stand: a front end keeps them, so that a run killed
    // outright goes on from there rather than from the start.
    std::function<void()> checkpoint = {};
    std::chrono::steady_clock::duration checkpointInterval = std::chrono::seconds(10);
};

enum class ScanOutcome { NotRun, Finished, Stopped, Failed };

// Walks the source from the start sector to the end sector of the settings at the cluster
// stride, follows every run of pages of the wanted file, and appends one fragment per run. Ends
// at the end sector ("finished"), when stopRequested is set ("scan stopped"), or on an error;
// whichever way it ends, stopRequested is set afterwards: no scan is running any more.
ScanOutcome runScanJob(ScanContext& ctx);

}  // namespace mdf
