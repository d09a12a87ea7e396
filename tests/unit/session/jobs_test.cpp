// Jobs never overlap, and the analysis refuses to start while a scan runs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "session/job_runner.h"
#include "session/recovery_session.h"

namespace mdf {
namespace {

TEST(JobRunner, OnePermitKeepsJobsFromOverlapping) {
    std::atomic<int> running{0}, mostAtOnce{0}, done{0};
    {
        JobRunner jobs;
        for (int i = 0; i < 4; ++i) {
            jobs.start(i % 2 ? "scan" : "anlys", [&](const std::string&) {
                mostAtOnce = std::max(mostAtOnce.load(), ++running);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                --running;
                ++done;
            });
        }
    }  // the runner waits for its workers
    EXPECT_EQ(done, 4);
    EXPECT_EQ(mostAtOnce, 1);
}

TEST(RecoverySession, AnalysisIsRefusedWhileAScanRunsAndScanNeedsASource) {
    RecordingReporter reporter;
    RecoverySession session(reporter);
    EXPECT_FALSE(session.N2Click());
    EXPECT_EQ(reporter.messages(), std::vector<std::string>{"message: choose datasource first！"});
    EXPECT_EQ(reporter.events().back().icon, MessageIcon::Warning);

    session.stopRequested = false;  // as while a scan runs
    EXPECT_FALSE(session.Button1Click(CatalogueRow{}));
    EXPECT_EQ(reporter.messages().back(), "message: the scan is processing");
    session.stopRequested = true;
    EXPECT_FALSE(session.Button1Click(std::nullopt)) << "no row selected: nothing happens";
    EXPECT_FALSE(session.analysisRunning);

    session.settings.fileIdText = "x1";
    EXPECT_FALSE(session.btnscanClick());
}

}  // namespace
}  // namespace mdf
