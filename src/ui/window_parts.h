#pragma once

// What the files of the window share: the Qt widgets its tabs are made of, small conversions,
// and the count of commands running on the window's thread. Only the window's own files include it.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <filesystem>
#include <random>

#include "assembly/verdict_report.h"
#include "session/recovery_report.h"
#include "source/text_numbers.h"
#include "tables/row_export.h"
#include "ui/about_box.h"
#include "ui/chooser_dialog.h"
#include "ui/fragment_models.h"
#include "ui/help_text.h"
#include "ui/main_window.h"
#include "ui/tables_dialog.h"

namespace mdf::ui {

inline QString q(const std::string& s) {
    return QString::fromStdString(s);
}

// A chosen row that starts before the chosen row above it ends.
inline bool overlapsPrevious(const std::vector<FragmentRow>& chosen) {
    std::optional<std::int32_t> previousEnd;
    for (const FragmentRow& r : chosen) {
        if (previousEnd && r.startPage < *previousEnd) return true;
        previousEnd = r.endPage;
    }
    return false;
}

inline std::string s(const QString& text) {
    return text.toStdString();
}

template <typename W>
inline W* named(W* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

inline QStringList fragmentHeaders(const char* first, const char* third) {
    return {QString::fromUtf8(first),    QStringLiteral("碎片大小(KB)"),
            QString::fromUtf8(third),    QStringLiteral("结束页面号"),
            QStringLiteral("备注"),      QStringLiteral("begin sector"),
            QStringLiteral("end sector")};
}

// Counts a command that runs on the window's thread; closing the window waits for it.
class TForm1::Busy {
  public:
    explicit Busy(TForm1& w) : w_(w) { ++w_.busy_; }
    ~Busy() {
        if (--w_.busy_ > 0) return;
        if (w_.closePending_) {
            QTimer::singleShot(0, &w_, [w = &w_] { w->close(); });
        } else if (w_.listStale_) {
            w_.listStale_ = false;
            w_.showFragmentList();
        }
    }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

  private:
    TForm1& w_;
};

}  // namespace mdf::ui
