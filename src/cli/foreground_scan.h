#pragma once

#include <random>
#include <string>

#include "cli/console_reporter.h"
#include "cli/exit_codes.h"
#include "cli/resume_file.h"
#include "cli/scan_options.h"
#include "session/recovery_session.h"

namespace mdf::cli {

// While one lives, Ctrl-C asks the session to stop whatever it runs (the scan, the analysis,
// search more, the split-page search, the writer), as the window's stop command does, and the
// run remembers it. They nest: the outer one takes over again when an inner one ends.
class StopOnInterrupt {
  public:
    explicit StopOnInterrupt(RecoverySession& session);
    ~StopOnInterrupt();
    StopOnInterrupt(const StopOnInterrupt&) = delete;
    StopOnInterrupt& operator=(const StopOnInterrupt&) = delete;
    // Whether Ctrl-C was pressed since the outermost one began.
    static bool interrupted();

  private:
    RecoverySession* previousSession_;
    void (*previousHandler_)(int);
};

// Runs a scan on its worker and waits for it, drawing the scan's line on a terminal; Ctrl-C
// stops it as the stop command does.
ScanOutcome runScanInForeground(RecoverySession& session, ConsoleReporter& reporter);

// The resume file beside a stopped scan's scan-info file, with the source it names filled into
// `source` where the command gave none; nothing (after saying why, with exit code 3) when there
// is none, it is damaged, or the command gave scan settings of its own (a resumed scan goes on as
// it began).
std::optional<ResumeFile> loadResume(const std::string& scanInfo, const ScanOptions& given,
                                     SourceOptions& source, ExitCode& exit);

// Where a command keeps what its scan found; an empty scan-info path keeps nothing.
struct KeptScan {
    std::string scanInfo;
    std::string content;
    // The command that goes on from a stopped scan, shown to the user.
    std::string goOn;
    // A content file that holds zeros for sectors that could not be read is a failure (scan,
    // whose product it is) or only said (recover, whose summary names the pages it lacks).
    bool contentMustBeWhole = true;
    // The content file's seed, drawn before the scan so that the scan can write it as it reads.
    std::uint32_t seed = std::random_device{}();
    // Where the scan's sector sums are kept beside it; empty when the scan is not kept.
    std::string sums() const {
        return scanInfo.empty() ? std::string() : ResumeFile::sumsPathFor(scanInfo);
    }
};

// Whether the scan's sector sums may be kept under their name: a kept file of sums there is
// replaced as the resume file is, any other file only with --force. False after saying why.
bool keptSumsAllowed(const std::string& sums, const OutputGuard& guard, bool force);

// The resume file of the scan about to run, with what can only be read from the source before
// the scan begins (its fingerprint); and, when the scan is kept, has the scan keep the resume file
// every few seconds while it runs, so that a run killed outright goes on from there.
ResumeFile prepareResume(RecoverySession& session, const SourceOptions& source, bool directIo,
                         const KeptScan& kept, double checkpointSeconds);

// --checkpoint SECONDS: how often a running scan keeps its position.
void addCheckpointOption(CLI::App& command, double& seconds);

// Has the scan about to run write the kept content file as it reads (not for a scan that goes on
// from a saved one: the fragments found before are not in what it reads).
void spoolKeptContent(RecoverySession& session, const KeptScan& kept, bool resuming);

// Saves what an ended scan found and, beside the scan-info file, where it stood (the end, when it
// finished). When it ended early (stopped, or a read failed) also says where that was and how to
// go on. Raises the exit code (130 stopped, 4 failed or not saved) and is true only when the scan
// finished and everything was saved.
bool keepScan(RecoverySession& session, ScanOutcome outcome, const KeptScan& kept,
              ResumeFile resume, ExitCode& exit);

}  // namespace mdf::cli
