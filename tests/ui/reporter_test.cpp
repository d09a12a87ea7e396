// The window's Reporter: a worker's updates arrive on the GUI thread in the order they were made,
// a worker's message box holds the worker until it has been shown, and shutting down releases a
// waiting worker.
#include <QCoreApplication>
#include <QTest>
#include <atomic>
#include <thread>

#include "ui/qt_reporter.h"

using namespace mdf;
using namespace mdf::ui;

namespace {

struct RecordingTarget : ReportTarget {
    QStringList events;
    std::function<void()> onMessage;
    int deliveries = 0;
    void appendLog(Memo memo, const QString& lines) override {
        for (const QString& l : lines.split(QLatin1Char('\n')))
            events << QStringLiteral("log%1:%2").arg(static_cast<int>(memo)).arg(l);
    }
    void clearLog(Memo memo) override { events << QStringLiteral("clear%1").arg(int(memo)); }
    void setStatus(const QString& text) override { events << QStringLiteral("status:") + text; }
    void setProgress(int percent) override { events << QStringLiteral("progress:%1").arg(percent); }
    void showMessage(const std::string& text, const std::string& caption, MessageIcon) override {
        events << QString::fromStdString("message:" + caption + ":" + text);
        if (onMessage) onMessage();
    }
    void updatesDelivered() override { ++deliveries; }
};

}  // namespace

class ReporterTest : public QObject {
    Q_OBJECT

  private slots:
    void workerUpdatesArriveInOrderOnTheGuiThread() {
        RecordingTarget target;
        QtReporter reporter(target);
        Qt::HANDLE gui = QThread::currentThreadId();
        std::atomic<bool> offThread{false};
        std::jthread worker([&] {
            reporter.clearLog(Memo::Scan);
            for (int i = 0; i < 5000; ++i) {
                reporter.logLine(i % 2 ? Memo::Scan : Memo::Analysis, std::to_string(i));
                if (i % 1000 == 0) reporter.setProgress(i / 50);
                if (i % 1000 == 0)
                    reporter.post(
                        [&] { offThread = offThread || QThread::currentThreadId() != gui; });
            }
            reporter.setStatus("finished");
        });
        worker.join();
        // Nothing reaches the target before the GUI thread runs its events.
        QVERIFY(target.events.isEmpty());
        QTRY_COMPARE(target.events.size(), 1 + 5000 + 5 + 1);
        QVERIFY(!offThread);
        QCOMPARE(target.events.front(), QStringLiteral("clear0"));
        QCOMPARE(target.events.back(), QStringLiteral("status:finished"));
        int expected = 0;
        for (const QString& e : target.events) {
            if (!e.startsWith(QStringLiteral("log"))) continue;
            QCOMPARE(e.section(QLatin1Char(':'), 1).toInt(), expected);
            QCOMPARE(e.mid(3, 1).toInt(), expected % 2 ? int(Memo::Scan) : int(Memo::Analysis));
            ++expected;
        }
        QCOMPARE(target.events.indexOf(QStringLiteral("progress:20")),
                 target.events.indexOf(QStringLiteral("log1:1000")) + 1);
        QVERIFY(target.deliveries > 0);
    }

    void aWorkersMessageBoxHoldsTheWorkerUntilItIsClosed() {
        RecordingTarget target;
        QtReporter reporter(target);
        std::atomic<int> stage{0};
        target.onMessage = [&] {
            // The box is "open": the worker must still be waiting.
            QTest::qWait(50);
            QCOMPARE(stage.load(), 1);
        };
        std::jthread worker([&] {
            reporter.logLine(Memo::Scan, "before");
            stage = 1;
            reporter.showMessage("read disk error", "message");
            stage = 2;
            reporter.logLine(Memo::Scan, "after");
        });
        QTRY_COMPARE(stage.load(), 2);
        worker.join();
        QTRY_COMPARE(target.events.size(), 3);
        QCOMPARE(target.events, (QStringList{QStringLiteral("log0:before"),
                                             QStringLiteral("message:message:read disk error"),
                                             QStringLiteral("log0:after")}));
    }

    void shuttingDownReleasesAWaitingWorkerAndDropsTheRest() {
        RecordingTarget target;
        QtReporter reporter(target);
        std::atomic<bool> released{false};
        std::jthread worker([&] {
            reporter.showMessage("create bitmap failed", "message");
            released = true;
            reporter.logLine(Memo::Scan, "late");
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(30));  // no events: no box shown
        QVERIFY(!released);
        reporter.shutDown();
        worker.join();
        QVERIFY(released);
        QCoreApplication::processEvents();
        QVERIFY(target.events.isEmpty());
    }

    void guiThreadCallsTakeEffectAtOnceAfterQueuedOnes() {
        RecordingTarget target;
        QtReporter reporter(target);
        std::jthread worker([&] { reporter.logLine(Memo::Assembly, "from the worker"); });
        worker.join();
        reporter.logLine(Memo::Assembly, "from the window");
        QCOMPARE(target.events, (QStringList{QStringLiteral("log2:from the worker"),
                                             QStringLiteral("log2:from the window")}));
    }
};

int runReporterTests(int argc, char** argv) {
    ReporterTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "reporter_test.moc"
