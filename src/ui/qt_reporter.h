#pragma once

#include <QObject>
#include <QString>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "report/reporter.h"

namespace mdf::ui {

// What the reporter updates; the window implements it. Called on the GUI thread only.
class ReportTarget {
  public:
    virtual ~ReportTarget() = default;
    virtual void appendLog(Memo memo, const QString& lines) = 0;
    virtual void clearLog(Memo memo) = 0;
    virtual void setStatus(const QString& text) = 0;
    virtual void setProgress(int percent) = 0;
    virtual void showMessage(const std::string& text, const std::string& caption,
                             MessageIcon icon) = 0;
    // After a run of queued updates: rows staged by posted calls become visible.
    virtual void updatesDelivered() {}
};

// The window's Reporter. Calls made on the GUI thread take effect at once (after anything a
// worker queued before them); calls made by a worker are queued and delivered on the GUI thread
// in the order the worker made them. A worker's message box blocks that worker until the user
// has closed it. Deliveries are cut into slices of a few milliseconds so that a flood of updates
// from a scan never freezes the window.
class QtReporter : public QObject, public Reporter {
    Q_OBJECT

  public:
    explicit QtReporter(ReportTarget& target, QObject* parent = nullptr);
    ~QtReporter() override;

    void logLine(Memo memo, std::string_view line) override;
    void clearLog(Memo memo) override;
    void setStatus(std::string_view text) override;
    void setProgress(int percent) override;
    void showMessage(std::string_view text, std::string_view caption,
                     MessageIcon icon = MessageIcon::None) override;
    void processEvents() override;

    // Runs fn on the GUI thread, in order with the reporter's other updates.
    void post(std::function<void()> fn);
    // Delivers everything queued so far (GUI thread only).
    void deliverPending();
    // The window is closing: nothing more is shown, and a worker waiting on a message box goes on.
    void shutDown();
    bool onGuiThread() const;

    // The longest time one delivery slice may take before the window gets its events back.
    static constexpr int kSliceMilliseconds = 8;

  private:
    enum class Kind { Log, Clear, Status, Progress, Message, Call };
    struct Waiter {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
    };
    struct Update {
        Kind kind;
        Memo memo = Memo::Scan;
        std::string text;
        std::string caption;
        MessageIcon icon = MessageIcon::None;
        int percent = 0;
        std::function<void()> call;
        std::shared_ptr<Waiter> waiter;
    };

    void enqueue(Update update);
    void deliverSlice();
    void apply(Update& update);
    static void release(const std::shared_ptr<Waiter>& waiter);

    ReportTarget& target_;
    std::mutex mutex_;
    std::deque<Update> queue_;
    bool deliveryPosted_ = false;
    bool closing_ = false;
    bool delivering_ = false;  // GUI thread only
};

}  // namespace mdf::ui
