#include "ui/qt_reporter.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

namespace mdf::ui {

QtReporter::QtReporter(ReportTarget& target, QObject* parent) : QObject(parent), target_(target) {}

QtReporter::~QtReporter() {
    shutDown();
}

bool QtReporter::onGuiThread() const {
    return QThread::currentThread() == thread();
}

void QtReporter::logLine(Memo memo, std::string_view line) {
    enqueue({Kind::Log, memo, std::string(line), {}, MessageIcon::None, 0, {}, {}});
}

void QtReporter::clearLog(Memo memo) {
    enqueue({Kind::Clear, memo, {}, {}, MessageIcon::None, 0, {}, {}});
}

void QtReporter::setStatus(std::string_view text) {
    enqueue({Kind::Status, Memo::Scan, std::string(text), {}, MessageIcon::None, 0, {}, {}});
}

void QtReporter::setProgress(int percent) {
    enqueue({Kind::Progress, Memo::Scan, {}, {}, MessageIcon::None, percent, {}, {}});
}

void QtReporter::post(std::function<void()> fn) {
    enqueue({Kind::Call, Memo::Scan, {}, {}, MessageIcon::None, 0, std::move(fn), {}});
}

void QtReporter::showMessage(std::string_view text, std::string_view caption, MessageIcon icon) {
    Update update{
        Kind::Message, Memo::Scan, std::string(text), std::string(caption), icon, 0, {}, {}};
    if (onGuiThread()) {
        enqueue(std::move(update));
        return;
    }
    // The worker waits here until the box has been closed, as a modal box would make it.
    auto waiter = std::make_shared<Waiter>();
    update.waiter = waiter;
    enqueue(std::move(update));
    std::unique_lock lock(waiter->mutex);
    waiter->done.wait(lock, [&] { return waiter->finished; });
}

void QtReporter::processEvents() {
    if (!onGuiThread()) return;
    deliverPending();
    QCoreApplication::processEvents();
}

void QtReporter::enqueue(Update update) {
    bool post = false;
    {
        std::lock_guard lock(mutex_);
        if (closing_) {
            release(update.waiter);
            return;
        }
        queue_.push_back(std::move(update));
        if (!deliveryPosted_) {
            deliveryPosted_ = true;
            post = true;
        }
    }
    if (onGuiThread()) {
        deliverPending();
    } else if (post) {
        QMetaObject::invokeMethod(this, &QtReporter::deliverSlice, Qt::QueuedConnection);
    }
}

void QtReporter::deliverPending() {
    // A message box shown while delivering runs its own event loop; what arrives meanwhile waits
    // for the delivery under way, which keeps the order.
    if (delivering_) return;
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty()) {
                deliveryPosted_ = false;
                break;
            }
        }
        deliverSlice();
    }
}

void QtReporter::deliverSlice() {
    if (delivering_) return;
    delivering_ = true;
    QElapsedTimer clock;
    clock.start();
    bool more = false;
    bool delivered = false;
    for (;;) {
        Update update;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty() || closing_) {
                deliveryPosted_ = false;
                break;
            }
            if (clock.elapsed() >= kSliceMilliseconds) {
                more = true;
                break;
            }
            update = std::move(queue_.front());
            queue_.pop_front();
            // Lines for the same memo arriving together are appended in one go.
            if (update.kind == Kind::Log) {
                while (!queue_.empty() && queue_.front().kind == Kind::Log &&
                       queue_.front().memo == update.memo && update.text.size() < (1u << 20)) {
                    update.text += '\n';
                    update.text += queue_.front().text;
                    queue_.pop_front();
                }
            }
        }
        if (update.kind != Kind::Call && delivered) {
            target_.updatesDelivered();
            delivered = false;
        }
        apply(update);
        if (update.kind == Kind::Call) delivered = true;
    }
    if (delivered) target_.updatesDelivered();
    delivering_ = false;
    if (more) QMetaObject::invokeMethod(this, &QtReporter::deliverSlice, Qt::QueuedConnection);
}

void QtReporter::apply(Update& update) {
    switch (update.kind) {
        case Kind::Log:
            target_.appendLog(update.memo, QString::fromStdString(update.text));
            break;
        case Kind::Clear:
            target_.clearLog(update.memo);
            break;
        case Kind::Status:
            target_.setStatus(QString::fromStdString(update.text));
            break;
        case Kind::Progress:
            target_.setProgress(update.percent);
            break;
        case Kind::Message:
            target_.showMessage(update.text, update.caption, update.icon);
            release(update.waiter);
            break;
        case Kind::Call:
            update.call();
            break;
    }
}

void QtReporter::release(const std::shared_ptr<Waiter>& waiter) {
    if (!waiter) return;
    std::lock_guard lock(waiter->mutex);
    waiter->finished = true;
    waiter->done.notify_all();
}

void QtReporter::shutDown() {
    std::deque<Update> dropped;
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
        dropped.swap(queue_);
    }
    for (auto& u : dropped)
        release(u.waiter);
}

}  // namespace mdf::ui
