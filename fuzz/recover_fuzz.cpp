// The whole recovery of a small disk of untrusted bytes, as `recover` runs it: scan, the database
// files found, the analysis, the search for more fragments, the missing-page check and the file
// written. Whatever the bytes, nothing may read outside a buffer, hang or crash; and the content
// file the scan writes as it reads is byte for byte the one a save after the scan writes.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "memory_file.h"
#include "report/reporter.h"
#include "scratch_path.h"
#include "session/recovery_session.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace mdf;
    if (size < 1 || size > (2u << 20)) return 0;
    const std::span<const std::uint8_t> image(data + 1, size - 1);
    // The session sizes a source from the file it names; the bytes themselves come from memory.
    static const fuzz::ScratchPath scratch("mdf-recover-fuzz", ".img");
    const std::string& path = scratch.str();
    std::filesystem::resize_file((std::ofstream(path).close(), path), image.size());
    SilentReporter reporter;
    RecoverySession session(reporter, fuzz::memoryOpener(image));
    if (!session.openImage(path, data[0] & 1 ? ImageKind::Partition : ImageKind::WholeDisk))
        return 0;
    session.settings().sectorsPerCluster = 1 + (data[0] >> 1) % 16;
    const std::string spooled = path + ".spooled", afresh = path + ".afresh";
    session.spoolContentOfNextScan(spooled, 7);
    if (session.startScan() != StartResult::Started) return 0;
    session.waitForJobs();
    (void)session.saveScan(std::nullopt, spooled, 7);
    (void)session.saveScan(std::nullopt, afresh, 7);
    auto bytesOf = [](const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    if (bytesOf(spooled) != bytesOf(afresh)) std::abort();
    std::filesystem::remove(spooled);
    std::filesystem::remove(afresh);
    for (const CatalogueRow& file : session.listDatabaseFiles()) {
        if (session.startAnalysis(file) != StartResult::Started) continue;
        session.waitForJobs();
        if (!session.lastAnalysisCompleted()) continue;
        (void)session.searchMore();
        (void)session.checkMissingPages();
        const std::string out = path + ".mdf";
        (void)session.writeMdf(out);
        std::filesystem::remove(out);
        break;
    }
    return 0;
}
