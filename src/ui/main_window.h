#pragma once

#include <QMainWindow>
#include <QPointer>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "assembly/fragment_tools.h"
#include "session/recovery_session.h"
#include "source/device_catalog.h"
#include "ui/chooser_dialog.h"
#include "ui/dialogs.h"
#include "ui/fragment_models.h"
#include "ui/qt_reporter.h"

class QAbstractItemModel;
class QAction;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QTableView;
class QTimer;

namespace mdf::ui {

class CatalogueModel;
class FragmentTableModel;

// Texts of the file pickers, shared with the tests that script them.
inline constexpr const char* kImageFilter =
    "镜像文件(*.hdd;*.img;*.dsr;*.bin)|*.hdd;*.img;*.dsr;*.bin|所有文件(*.*)|*";
inline constexpr const char* kScanInfoSaveTitle =
    "hint: save to other place,do not save to the source disk ";
inline constexpr const char* kContentSaveTitle =
    "hint: save to other place,do not save to the source disk";
inline constexpr const char* kMdfSaveTitle = "保存MDF文件,请注意别保存到原数据所在盘，防止覆盖";
inline constexpr const char* kMapOpenTitle = "打开ddrescue记录文件(Open ddrescue map file)";
inline constexpr const char* kMapFilter =
    "ddrescue记录(*.map;*.mapfile;*.log)|*.map;*.mapfile;*.log|所有文件(*.*)|*";

struct WindowOptions {
    Dialogs* dialogs = nullptr;  // null: the real boxes and pickers
    FileOpener opener = openReadOnly;
    std::optional<DeviceCatalog> devices;  // null: the machine's own disks and volumes
};

// The main window: four tabs that lead from a data source to a rebuilt MDF file. Handlers
// collect what the boxes hold, ask through Dialogs, call the session and show what comes back.
class TForm1 : public QMainWindow, private ReportTarget, private FragmentListener {
    Q_OBJECT

  public:
    explicit TForm1(WindowOptions options = {}, QWidget* parent = nullptr);
    ~TForm1() override;

    RecoverySession& session() { return *session_; }
    QtReporter& reporter() { return reporter_; }
    Tfrmuserchoose* chooser() { return frmuserchoose_; }
    // Waits for the running job and delivers what it reported (tests and shut-down).
    void waitForJobs();
    // Whether a command runs on the window's thread (letting the window's events in meanwhile).
    bool commandRunning() const { return busy_ > 0; }
    // The fragment list view filled again from the session's list.
    void showFragmentList();
    // Sorts the fragment list view by a column (refused while a scan runs).
    void sortFragmentList(int column);
    // A scan appended a fragment or took the last one back to join it with the next run
    // (GUI thread; the rows show once the updates delivered together have been applied).
    void fragmentAppended(FragmentRow row);
    void lastFragmentRemoved();

  signals:
    // A fresh chooser was made for the analysis about to start.
    void chooserCreated(Tfrmuserchoose* chooser);

  public slots:
    void FormCreate();
    // Data source (first tab).
    void btnscanClick();
    void N2Click();
    void N3Click();
    void btnstopClick();
    void N7Click();
    void DiskItemClick(int tag);
    void VolumeItemClick(int tag);
    void PartitionItemClick(int tag);
    void btnMapClick();
    void btnNoMapClick();
    void CheckBox1Click();
    void Label7Click();
    // Fragment list (second tab).
    void btnsaveClick();
    void Button3Click();
    void ListView2ColumnClick(int column);
    void ListView2Click();
    void edtfilterClick();
    void N9Click();
    void N10Click();
    void N14Click();
    void N15Click();
    void N12Click();
    void N13Click();
    void N16Click();
    void N17Click();
    void N18Click();
    // Analysis (third tab).
    void PageControl1Change(int index);
    void Button1Click();
    void ListView3Click();
    // Combination (fourth tab).
    void Button6Click();
    void Button5Click();
    void Button2Click();
    void ListView4ColumnClick(int column);
    void ListView4Click();
    // Window.
    void N6Click();
    void Button7Click();
    // The tables of the file just written (or of one the user picks), and the export of its rows.
    void btntablesClick();

  protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // N9's export of the checked rows, as one command of the session.
    void exportCheckedFragments();
    // ReportTarget
    void appendLog(Memo memo, const QString& lines) override;
    void clearLog(Memo memo) override;
    void setStatus(const QString& text) override;
    void setProgress(int percent) override;
    void showMessage(const std::string& text, const std::string& caption,
                     MessageIcon icon) override;
    void updatesDelivered() override;
    // FragmentListener: called on the scan's worker (or on this thread between jobs).
    void recordAppended(std::size_t recordIndex, const FragmentRecord& record) override;
    void lastRecordRemoved() override;
    void listReplaced() override;

    void buildMenus();
    void buildTab1(QWidget* tab);
    void buildTab2(QWidget* tab);
    void buildTab3(QWidget* tab);
    void buildTab4(QWidget* tab);
    QTableView* makeList(QWidget* parent, const char* name, QAbstractItemModel* model,
                         const std::vector<int>& widths);
    void buildSourceMenu();
    void showPartitionEntries();
    // Makes a source choice and remembers it, so that choosing a ddrescue map can read the
    // boot sector and partition table again through the map.
    void choose(std::function<void()> choice);
    // The same for a disk, an image or a volume: what a partition's choice starts from.
    void chooseDiskLike(std::function<void()> choice);
    // A map belongs to the disk it was made of: a new disk, image or volume goes without it.
    void forgetRescueMap();

    // Boxes of the first tab to the session and back.
    // The scan's numbers from the data-source boxes; false, after saying so, when one is not a
    // whole number.
    bool takeScanBoxes();
    // The file id box into the settings; false, after saying so, when it is not a whole number.
    bool takeFileIdBox();
    // The whole number a box holds; none, after saying so, when it holds anything else.
    std::optional<std::int64_t> numberInBox(const QLineEdit* box);
    bool scanMayReadBoxes() const;
    void showSettings();
    void startScan();
    void scanStarted();
    void pollJobs();
    void showCombination();
    void updateTab4Buttons();
    std::optional<std::size_t> selectedRow(QTableView* view) const;
    void selectClickedRow(QTableView* view);

    // A command that runs on the window's thread and lets events through: closing the window
    // meanwhile waits until it has ended.
    class Busy;
    int busy_ = 0;
    bool closePending_ = false;

    QtReporter reporter_;
    std::unique_ptr<QtDialogs> ownDialogs_;
    Dialogs* dialogs_;
    DeviceCatalog devices_;
    std::unique_ptr<RecoverySession> session_;

    std::vector<DiskEntry> disks_;
    std::vector<VolumeEntry> volumes_;
    std::vector<PartitionEntry> partitions_;
    std::function<void()> lastChoice_;
    std::function<void()> diskChoice_;
    bool scanWasRunning_ = false;
    bool listStale_ = false;  // the fragment list changed while a command ran: show it anew
    bool analysisWasRunning_ = false;
    bool scanControlsLocked_ = false;  // the scan's settings, once one has begun

    // What the lists show; the models read these.
    FragmentListView fragmentView_;
    std::vector<FragmentRow> combinationRows_;

  public:
    // Controls, by their object names.
    QMenuBar* mm1 = nullptr;
    QAction *N1 = nullptr, *N2 = nullptr, *N3 = nullptr, *N4 = nullptr, *N5 = nullptr,
            *N6 = nullptr;
    QTabWidget* PageControl1 = nullptr;
    QWidget *TabSheet1 = nullptr, *TabSheet2 = nullptr, *TabSheet3 = nullptr, *TabSheet4 = nullptr;
    QProgressBar* g1 = nullptr;
    QPushButton* Button7 = nullptr;
    QStatusBar* stat1 = nullptr;
    QLabel* stat1Panel0 = nullptr;

    QGroupBox* grp1 = nullptr;
    QLineEdit* edtDataStr = nullptr;
    QPushButton *btnscan = nullptr, *btnstop = nullptr;
    QLabel *label5 = nullptr, *pnl2 = nullptr, *pnl1 = nullptr, *Label7 = nullptr, *img1 = nullptr,
           *lbl1 = nullptr;
    QCheckBox *chkfreespace = nullptr, *CheckBox1 = nullptr;
    QLineEdit *edtbegin = nullptr, *edtend = nullptr, *edtsecs = nullptr, *edtmaxpageid = nullptr,
              *Edit2 = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
    QMenu* pm1 = nullptr;
    QAction* N7 = nullptr;
    QLabel* Label10 = nullptr;
    QLineEdit* edtMapFile = nullptr;
    QPushButton *btnMap = nullptr, *btnNoMap = nullptr;

    QTableView* ListView2 = nullptr;
    FragmentTableModel* ListView2Model = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction *N9 = nullptr, *N10 = nullptr, *N14 = nullptr, *N15 = nullptr, *N11 = nullptr,
            *N12 = nullptr, *N13 = nullptr, *N16 = nullptr, *N17 = nullptr, *N18 = nullptr;
    QGroupBox* GroupBox1 = nullptr;
    QRadioButton *rb1 = nullptr, *rb2 = nullptr, *rb3 = nullptr;
    QLineEdit *Edit1 = nullptr, *edtendid = nullptr, *edtpgid = nullptr;
    QPushButton *edtfilter = nullptr, *btnsave = nullptr, *Button3 = nullptr;

    QTableView* ListView3 = nullptr;
    CatalogueModel* ListView3Model = nullptr;
    QPushButton* Button1 = nullptr;
    QCheckBox* chkauto = nullptr;
    QPlainTextEdit* Memo2 = nullptr;

    QTableView* ListView4 = nullptr;
    FragmentTableModel* ListView4Model = nullptr;
    QPushButton *Button6 = nullptr, *Button5 = nullptr, *Button2 = nullptr;
    QPushButton* btntables = nullptr;
    QPointer<class frmtables> frmtables_;
    std::string lastMdf_;  // the file CREATE MDF wrote last
    QPlainTextEdit* Memo3 = nullptr;

  private:
    QPointer<Tfrmuserchoose> frmuserchoose_;
    QTimer* jobTimer_ = nullptr;
};

}  // namespace mdf::ui
