#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "analysis/chain_analysis.h"
#include "analysis/fragment_pages.h"
#include "assembly/assembly_context.h"
#include "assembly/fragment_tools.h"
#include "assembly/mdf_writer.h"
#include "assembly/search_more.h"
#include "scan/content_file.h"
#include "scan/file_catalogue.h"
#include "scan/fragment_list.h"
#include "scan/scan_engine.h"
#include "session/job_runner.h"
#include "session/reporter.h"
#include "source/free_space_map.h"
#include "source/scan_settings.h"
#include "source/sector_source.h"
#include "source/source_selection.h"
#include "source/volume_layout.h"

namespace mdf {

// Everything one recovery works on: the source, what the scan found, what the analysis
// concluded. The window owns one; a command-line run owns one; a test makes its own. Its
// handlers are the commands of the workflow, with the user's answers passed in.
class RecoverySession {
  public:
    explicit RecoverySession(Reporter& reporter, FileOpener opener = openReadOnly);
    ~RecoverySession();
    RecoverySession(const RecoverySession&) = delete;
    RecoverySession& operator=(const RecoverySession&) = delete;

    SourceContext sourceContext() { return {source, volume, settings, sourceChosen, reporter}; }
    ScanContext scanContext();

    // The scan button: takes the file id from its box, then starts the scan.
    bool btnscanClick();
    // The scan menu command: starts a scan on a worker unless no source has been chosen.
    bool N2Click();
    // Stop: the running scan ends at its next position.
    void N3Click() { stopRequested = true; }
    void btnstopClick() { N3Click(); }
    // Waits until every started job has ended.
    void waitForJobs() { jobs_.waitAll(); }

    // SAVE: the scan-info file (when a name was chosen) and, when wanted, the content file.
    void btnsaveClick(const std::optional<std::string>& scanInfoPath,
                      const std::optional<std::string>& contentPath, std::uint32_t contentSeed);
    // OPEN: replaces the fragment list by a saved one (when a name was chosen) and opens its
    // content file (when wanted). False when the scan-info file was damaged: the list is kept.
    bool Button3Click(const std::optional<std::string>& scanInfoPath,
                      const std::optional<std::string>& contentPath);

    // The database files found, for the third tab.
    std::vector<CatalogueRow> refreshFileCatalogue();

    // FILTER: analyses the catalogue row given. Automatic mode (no chooser) runs on a worker;
    // with a chooser the run happens here and ties are put to it. Refused while a scan runs.
    bool Button1Click(const std::optional<CatalogueRow>& selected,
                      NextFragmentChooser* chooser = nullptr);
    // The commands of the fourth tab.
    bool Button6Click();
    void Button5Click();
    AssemblyOutcome Button2Click(const std::string& outputPath, bool allowOnSourceDevice = false);
    void sortCombinationByStartPage() {
        combination.ListView4ColumnClick(kStartPageColumn, sortColumn);
    }

    PageOrigin& pages() { return pageOrigin_; }
    AnalysisContext analysisContext(NextFragmentChooser* chooser = nullptr);
    AssemblyContext assemblyContext();

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
    std::string pendingMemo;
    std::string jobMode;
    std::atomic<ScanOutcome> lastScanOutcome{ScanOutcome::NotRun};

    // Saved content: once open, fragment pages come from it rather than from the source.
    ContentFile content;
    bool readFromSource = true;

    // What the analysis concluded and the combination built from it.
    AnalysisResults analysis;
    std::atomic<bool> analysisRunning{false};
    std::atomic<bool> lastAnalysisCompleted{false};
    CombinationList combination;
    std::int32_t sortColumn = 0;  // shared by the fragment list and the combination list

  private:
    // The file id box, as the low 16 bits of its number; false after telling when it holds none.
    bool takeScanFileId();
    void execute(const std::string& mode);
    void analyse(const CatalogueRow& selected, NextFragmentChooser* chooser);
    bool saveContent(const std::string& path, std::uint32_t seed);

    PageOrigin pageOrigin_{source, content, fragments, readFromSource};
    std::optional<CatalogueRow> analysisTarget_;
    JobRunner jobs_;
};

}  // namespace mdf
