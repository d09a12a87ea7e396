// Jobs never overlap, and the analysis refuses to start while a scan runs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "session/job_runner.h"
#include "session/recovery_session.h"
#include "testworld/temp_dir.h"

namespace mdf {
namespace {

TEST(JobRunner, OnePermitKeepsJobsFromOverlapping) {
    std::atomic<int> running{0}, mostAtOnce{0}, done{0};
    {
        JobRunner jobs;
        for (int i = 0; i < 4; ++i) {
            jobs.start([&] {
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
    EXPECT_FALSE((session.startScan() == StartResult::Started));
    EXPECT_EQ(reporter.messages(), std::vector<std::string>{"message: choose datasource first！"});
    EXPECT_EQ(reporter.events().back().icon, MessageIcon::Warning);
}

// A source whose reads wait at a gate: the scan stays running for as long as the test wants.
class GatedFile : public RandomAccessFile {
  public:
    GatedFile(std::unique_ptr<RandomAccessFile> inner, std::atomic<bool>& open)
        : inner_(std::move(inner)), open_(open) {}
    std::int64_t readAt(void* buffer, std::size_t size, std::uint64_t offset) override {
        while (!open_)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return inner_->readAt(buffer, size, offset);
    }

  private:
    std::unique_ptr<RandomAccessFile> inner_;
    std::atomic<bool>& open_;
};

TEST(RecoverySession, WhileAScanRunsEveryOtherStepIsRefused) {
    test::TempDir dir;
    const std::string image = dir.file("zeros.img");
    test::writeFile(image, std::vector<std::uint8_t>(1 << 20));
    std::atomic<bool> gateOpen{true};
    RecordingReporter reporter;
    RecoverySession session(reporter, [&](const std::string& path) {
        return std::make_unique<GatedFile>(openReadOnly(path), gateOpen);
    });
    ASSERT_TRUE(session.openImage(image, ImageKind::WholeDisk));
    gateOpen = false;
    ASSERT_EQ(session.startScan(), StartResult::Started);
    EXPECT_TRUE(session.scanRunning());
    EXPECT_TRUE(session.busy());

    EXPECT_EQ(session.startAnalysis(CatalogueRow{}), StartResult::Busy);
    EXPECT_EQ(reporter.messages().back(), "message: the scan is processing");
    EXPECT_EQ(session.startScan(), StartResult::Busy);
    EXPECT_FALSE(session.openScan(dir.file("saved.info"), std::nullopt));
    EXPECT_FALSE(session.openImage(image, ImageKind::Partition));
    EXPECT_FALSE(session.writeMdf(dir.file("out.mdf")).written);
    EXPECT_EQ(reporter.messages().back(),
              "message: busy: a scan or an analysis is running; wait until it ends");
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.mdf")));

    gateOpen = true;
    session.waitForJobs();
    EXPECT_FALSE(session.busy());
    EXPECT_EQ(session.lastScanOutcome(), ScanOutcome::Finished);
    EXPECT_TRUE(session.openImage(image, ImageKind::WholeDisk));
}

}  // namespace
}  // namespace mdf
