#pragma once

#include <QDialog>

namespace mdf::ui {

// The about box: a small window that stays on top; the caller waits until it is closed.
class Tfrmabout : public QDialog {
    Q_OBJECT

  public:
    explicit Tfrmabout(QWidget* parent = nullptr);
};

}  // namespace mdf::ui
