#include "report/reporter.h"

#include <gtest/gtest.h>

#include <thread>

namespace mdf {
namespace {

TEST(RecordingReporter, MemoLinesStartAfterTheLastClearAndKeepOrderAcrossThreads) {
    RecordingReporter r;
    r.logLine(Memo::Scan, "old");
    r.logLine(Memo::Analysis, "analysis");
    r.clearLog(Memo::Scan);
    std::thread worker([&] {
        for (int i = 0; i < 100; ++i)
            r.logLine(Memo::Scan, std::to_string(i));
    });
    worker.join();
    auto lines = r.lines(Memo::Scan);
    ASSERT_EQ(lines.size(), 100u);
    EXPECT_EQ(lines.front(), "0");
    EXPECT_EQ(lines.back(), "99");
    EXPECT_EQ(r.lines(Memo::Analysis), std::vector<std::string>{"analysis"});
    r.showMessage("read disk error", "message", MessageIcon::None);
    EXPECT_EQ(r.messages(), std::vector<std::string>{"message: read disk error"});
}

}  // namespace
}  // namespace mdf
