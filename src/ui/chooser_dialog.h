#pragma once

#include <QDialog>
#include <vector>

#include "analysis/next_fragment_chooser.h"

class QGroupBox;
class QPushButton;
class QTreeWidget;

namespace mdf {
class RecoverySession;
}

namespace mdf::ui {

class Dialogs;

// Asks which of several fragments continues the chain: the fragment accepted last on top, the
// candidates below with check boxes. Not modal and always on top; the analysis waits, letting
// the window's events run, until the user confirms, cancels or closes it.
class Tfrmuserchoose : public QDialog, public NextFragmentChooser {
    Q_OBJECT

  public:
    Tfrmuserchoose(RecoverySession& session, Dialogs& dialogs, QWidget* parent = nullptr);

    std::optional<std::size_t> chooseNextFragment(const std::vector<std::size_t>& group,
                                                  std::int32_t lastChosen) override;
    const ChooserDecision& decision() const { return decision_; }
    bool waiting() const { return decision_.state == ChooserDecision::State::Waiting; }

  signals:
    // The lists are filled and the window is shown; the answer is awaited.
    void questionAsked();

  public slots:
    void FormCreate();
    void btnokClick();
    void btncancelClick();
    void ListView2Click();
    void Button1Click();

  protected:
    void closeEvent(QCloseEvent* event) override;

  public:
    QGroupBox* GroupBox1 = nullptr;
    QTreeWidget* ListView1 = nullptr;
    QTreeWidget* ListView2 = nullptr;
    QPushButton* btnok = nullptr;
    QPushButton* btncancel = nullptr;
    QPushButton* Button1 = nullptr;

  private:
    std::vector<bool> ticked() const;

    RecoverySession& session_;
    Dialogs& dialogs_;
    ChooserDecision decision_;
    std::vector<std::int32_t> candidates_;  // record index of each row of ListView2
};

}  // namespace mdf::ui
