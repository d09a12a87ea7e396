// A session file as it may arrive damaged or hand-edited: parsed, and its analysis restored into a
// session, which must refuse what does not fit rather than crash.

#include <cstdint>
#include <filesystem>
#include <fstream>

#include "cli/session_file.h"
#include "report/reporter.h"
#include "scratch_path.h"
#include "session/recovery_session.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace mdf;
    static const fuzz::ScratchPath scratch("mdf-session-fuzz", ".json");
    const std::string& path = scratch.str();
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    std::string error;
    auto saved = cli::SessionFile::load(path, error);
    if (!saved) return 0;
    SilentReporter reporter;
    RecoverySession session(reporter);
    (void)session.restoreAnalysis(saved->analysis);
    return 0;
}
