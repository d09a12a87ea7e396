// A resume file as it may arrive damaged or hand-edited: parsed, put into a session over a small
// disk, and the scan gone on with from the position it names, which must be refused or scanned
// within the disk, never crash or run away. The same bytes are read as the window's record of
// what a saved scan knew beyond its fragments, which must be taken whole or refused.

#include <cstdint>
#include <filesystem>
#include <fstream>

#include "cli/resume_file.h"
#include "memory_file.h"
#include "report/reporter.h"
#include "scratch_path.h"
#include "session/recovery_session.h"
#include "session/scan_evidence_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace mdf;
    static const fuzz::ScratchPath scratch("mdf-resume-fuzz", ".resume", {".evidence"});
    const std::string& path = scratch.str();
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    std::ofstream(ScanEvidence::pathFor(path), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (auto kept = ScanEvidence::load(path); kept && kept->sums)
        SectorSums::reopen(*kept->sums, kept->scanId);
    std::string error;
    auto resume = cli::ResumeFile::load(path, error);
    if (!resume) return 0;
    // A disk of 64 sectors whose fingerprint is whatever the file says it should be.
    static const std::vector<std::uint8_t> disk(64 * 512, 0);
    SilentReporter reporter;
    RecoverySession session(reporter, fuzz::memoryOpener(disk));
    if (!session.openImage("disk", ImageKind::WholeDisk)) return 0;
    resume->fingerprint = session.sourceFingerprint();
    resume->firstPageSha256.clear();
    if (!resume->restore(session, path)) return 0;
    if (session.startScan() == StartResult::Started) session.waitForJobs();
    return 0;
}
