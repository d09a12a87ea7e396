#include "ui/main_window.h"

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
#include "tables/row_export.h"
#include "ui/about_box.h"
#include "ui/chooser_dialog.h"
#include "ui/fragment_models.h"
#include "ui/help_text.h"
#include "ui/tables_dialog.h"

namespace mdf::ui {

namespace {
QString q(const std::string& s) {
    return QString::fromStdString(s);
}

// A checked row that starts before the checked row above it ends.
bool overlapsPrevious(const FragmentListView& view) {
    std::optional<std::int32_t> previousEnd;
    for (std::size_t i : view.checkedRows()) {
        const FragmentRow& r = view.rows[i];
        if (previousEnd && r.startPage < *previousEnd) return true;
        previousEnd = r.endPage;
    }
    return false;
}

std::string s(const QString& text) {
    return text.toStdString();
}

template <typename W>
W* named(W* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

QStringList fragmentHeaders(const char* first, const char* third) {
    return {QString::fromUtf8(first),    QStringLiteral("碎片大小(KB)"),
            QString::fromUtf8(third),    QStringLiteral("结束页面号"),
            QStringLiteral("备注"),      QStringLiteral("begin sector"),
            QStringLiteral("end sector")};
}
}  // namespace

// Counts a command that runs on the window's thread; closing the window waits for it.
class TForm1::Busy {
  public:
    explicit Busy(TForm1& w) : w_(w) { ++w_.busy_; }
    ~Busy() {
        if (--w_.busy_ == 0 && w_.closePending_)
            QTimer::singleShot(0, &w_, [w = &w_] { w->close(); });
    }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

  private:
    TForm1& w_;
};

TForm1::TForm1(WindowOptions options, QWidget* parent)
    : QMainWindow(parent),
      reporter_(*this),
      ownDialogs_(options.dialogs ? nullptr : std::make_unique<QtDialogs>(this)),
      dialogs_(options.dialogs ? options.dialogs : ownDialogs_.get()),
      devices_(options.devices ? std::move(*options.devices) : DeviceCatalog()),
      session_(std::make_unique<RecoverySession>(reporter_, std::move(options.opener))) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("SarvelMDF文件恢复工具5.0"));
    // A single fixed border: system menu, minimise and close; no maximise, no resizing.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

    buildMenus();
    auto* central = new QWidget(this);
    central->setObjectName(QStringLiteral("clientArea"));
    setCentralWidget(central);

    PageControl1 = named(new QTabWidget(central), "PageControl1");
    PageControl1->setGeometry(0, 0, 993, 537);
    TabSheet1 = named(new QWidget, "TabSheet1");
    TabSheet2 = named(new QWidget, "TabSheet2");
    TabSheet3 = named(new QWidget, "TabSheet3");
    TabSheet4 = named(new QWidget, "TabSheet4");
    PageControl1->addTab(TabSheet1, QStringLiteral("  Ⅰ  选择数据源(DATA SOURCE)     "));
    PageControl1->addTab(TabSheet2, QStringLiteral("  Ⅱ  碎片列表(FRAGMENT LIST )        "));
    PageControl1->addTab(TabSheet3, QStringLiteral("  Ⅲ  分析碎片(FILTER)       "));
    PageControl1->addTab(TabSheet4, QStringLiteral("   Ⅳ  组合MDF(CREATE MDF)     "));
    buildTab1(TabSheet1);
    buildTab2(TabSheet2);
    buildTab3(TabSheet3);
    buildTab4(TabSheet4);
    connect(PageControl1, &QTabWidget::currentChanged, this, &TForm1::PageControl1Change);

    g1 = named(new QProgressBar(central), "g1");
    g1->setGeometry(1, 543, 784, 28);
    g1->setRange(0, 100);
    g1->setValue(0);
    Button7 = named(new QPushButton(QStringLiteral("业务联系专业恢复(ABOUT)"), central), "Button7");
    Button7->setGeometry(795, 543, 198, 28);
    connect(Button7, &QPushButton::clicked, this, &TForm1::Button7Click);

    stat1 = named(new QStatusBar(this), "stat1");
    stat1->setSizeGripEnabled(false);
    stat1Panel0 = named(new QLabel(stat1), "stat1Panel0");
    stat1Panel0->setFixedWidth(200);
    stat1->addWidget(stat1Panel0);
    setStatusBar(stat1);

    jobTimer_ = new QTimer(this);
    jobTimer_->setInterval(50);
    connect(jobTimer_, &QTimer::timeout, this, &TForm1::pollJobs);

    // The client area is fixed: 1084 x 615 below the title bar.
    setFixedSize(1084, 615);
    session_->setFragmentListener(this);
    FormCreate();
}

TForm1::~TForm1() {
    reporter_.shutDown();
    session_->requestStop();
    session_->waitForJobs();
    session_->setFragmentListener(nullptr);
}

void TForm1::buildMenus() {
    mm1 = named(new QMenuBar(this), "mm1");
    setMenuBar(mm1);
    QMenu* operation = mm1->addMenu(QStringLiteral("操作(OPERATION)"));
    operation->setObjectName(QStringLiteral("N1menu"));
    N1 = named(operation->menuAction(), "N1");
    N2 = named(operation->addAction(QStringLiteral("开始扫描(SCAN)")), "N2");
    N3 = named(operation->addAction(QStringLiteral("停止扫描(STOP)")), "N3");
    N4 = named(operation->addSeparator(), "N4");
    N5 = named(operation->addAction(QStringLiteral("退出")), "N5");
    N6 = named(mm1->addAction(QStringLiteral("关于(ABOUT)")), "N6");
    connect(N2, &QAction::triggered, this, &TForm1::N2Click);
    connect(N3, &QAction::triggered, this, &TForm1::N3Click);
    connect(N5, &QAction::triggered, this, &QWidget::close);
    connect(N6, &QAction::triggered, this, &TForm1::N6Click);
}

void TForm1::buildTab1(QWidget* tab) {
    grp1 = named(new QGroupBox(QStringLiteral("  数据源(DATASOURCE)  "), tab), "grp1");
    grp1->setGeometry(8, 4, 480, 136);
    edtDataStr = named(new QLineEdit(grp1), "edtDataStr");
    edtDataStr->setGeometry(10, 24, 460, 26);
    edtDataStr->setReadOnly(true);
    edtDataStr->setText(QStringLiteral("......右键设置数据源(RIGHT CLICK TO CHOOSE DS )......"));
    edtDataStr->setContextMenuPolicy(Qt::CustomContextMenu);
    pm1 = named(new QMenu(edtDataStr), "pm1");
    connect(edtDataStr, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { pm1->popup(edtDataStr->mapToGlobal(at)); });
    btnscan = named(new QPushButton(QStringLiteral("开始扫描(SCAN)"), grp1), "btnscan");
    btnscan->setGeometry(10, 60, 140, 32);
    btnstop = named(new QPushButton(QStringLiteral("停止扫描(STOP)"), grp1), "btnstop");
    btnstop->setGeometry(160, 60, 140, 32);
    label5 = named(new QLabel(grp1), "label5");
    label5->setGeometry(316, 66, 150, 20);
    connect(btnscan, &QPushButton::clicked, this, &TForm1::btnscanClick);
    connect(btnstop, &QPushButton::clicked, this, &TForm1::btnstopClick);
    // The map of a ddrescue rescue: what it did not read is unreadable, never the zeros or old
    // data the image holds there.
    Label10 = named(new QLabel(QStringLiteral("读盘记录(DDRESCUE MAP)"), grp1), "Label10");
    Label10->setGeometry(10, 102, 160, 20);
    edtMapFile = named(new QLineEdit(grp1), "edtMapFile");
    edtMapFile->setGeometry(172, 99, 164, 26);
    edtMapFile->setReadOnly(true);
    edtMapFile->setPlaceholderText(QStringLiteral("未使用(NONE)"));
    btnMap = named(new QPushButton(QStringLiteral("浏览(BROWSE)"), grp1), "btnMap");
    btnMap->setGeometry(338, 98, 98, 28);
    // Too narrow for a caption: the tip says what it does.
    btnNoMap = named(new QPushButton(QStringLiteral("×"), grp1), "btnNoMap");
    btnNoMap->setToolTip(QStringLiteral("清除(CLEAR)"));
    btnNoMap->setGeometry(438, 98, 32, 28);
    btnNoMap->setEnabled(false);
    connect(btnMap, &QPushButton::clicked, this, &TForm1::btnMapClick);
    connect(btnNoMap, &QPushButton::clicked, this, &TForm1::btnNoMapClick);

    auto heading = [tab](const char* name, const QString& text, int y) {
        auto* panel = named(new QLabel(text, tab), name);
        panel->setGeometry(8, y, 480, 22);
        panel->setFrameShape(QFrame::Panel);
        panel->setFrameShadow(QFrame::Raised);
        panel->setAutoFillBackground(true);
        return panel;
    };
    pnl2 = heading(
        "pnl2",
        QStringLiteral("扫描设置:(非专业人员建议不选择) OPTIONS                              "),
        146);
    chkfreespace =
        named(new QCheckBox(QStringLiteral("只扫描空闲簇(FREE SPACE ONLY)"), tab), "chkfreespace");
    chkfreespace->setGeometry(16, 172, 300, 22);
    chkfreespace->setChecked(true);

    auto labelled = [tab](const char* labelName, const char* caption, const char* editName, int x,
                          int y) {
        auto* label = named(new QLabel(QString::fromUtf8(caption), tab), labelName);
        label->setGeometry(x, y + 2, 78, 20);
        auto* edit = named(new QLineEdit(tab), editName);
        edit->setGeometry(x + 80, y, 150, 24);
        return edit;
    };
    edtbegin = labelled("Label1", "开始扇区", "edtbegin", 16, 200);
    edtend = labelled("Label2", "结束扇区", "edtend", 256, 200);
    edtsecs = labelled("Label3", "每簇扇区数", "edtsecs", 16, 230);
    Edit2 = labelled("Label9", "文件ID", "Edit2", 256, 230);
    Edit2->setText(QStringLiteral("1"));
    CheckBox1 = named(new QCheckBox(QStringLiteral("开始页面号小于"), tab), "CheckBox1");
    CheckBox1->setGeometry(16, 260, 130, 22);
    edtmaxpageid = named(new QLineEdit(tab), "edtmaxpageid");
    edtmaxpageid->setGeometry(150, 260, 150, 24);
    edtmaxpageid->setText(QStringLiteral("100"));
    edtmaxpageid->setEnabled(false);
    connect(CheckBox1, &QCheckBox::clicked, this, &TForm1::CheckBox1Click);

    pnl1 = heading(
        "pnl1", QStringLiteral("         扫描图分区信息;                                        "),
        290);
    Memo1 = named(new QPlainTextEdit(tab), "Memo1");
    Memo1->setGeometry(8, 314, 480, 190);
    Memo1->setReadOnly(true);

    auto* pnl3 = named(new QFrame(tab), "pnl3");
    pnl3->setFrameShape(QFrame::VLine);
    pnl3->setFrameShadow(QFrame::Sunken);
    pnl3->setGeometry(496, 4, 4, 500);

    Label7 = named(new QLabel(QStringLiteral("使  用  说 明"), tab), "Label7");
    Label7->setGeometry(512, 6, 200, 24);
    QFont f = Label7->font();
    f.setBold(true);
    f.setItalic(true);
    f.setUnderline(true);
    Label7->setFont(f);
    Label7->setStyleSheet(QStringLiteral("color: navy;"));
    Label7->setCursor(Qt::PointingHandCursor);
    Label7->installEventFilter(this);

    img1 = named(new QLabel(tab), "img1");
    img1->setGeometry(508, 34, 476, 470);
    img1->setPixmap(helpPicture(476, 470));
    lbl1 = named(new QLabel(helpText(), tab), "lbl1");
    lbl1->setGeometry(508, 34, 476, 470);
    lbl1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lbl1->setWordWrap(true);
    lbl1->setVisible(false);
}

QTableView* TForm1::makeList(QWidget* parent, const char* name, QAbstractItemModel* model,
                             const std::vector<int>& widths) {
    auto* view = named(new QTableView(parent), name);
    view->setModel(model);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setShowGrid(false);
    view->setWordWrap(false);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->verticalHeader()->setVisible(false);
    view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view->verticalHeader()->setDefaultSectionSize(20);
    view->setIconSize(QSize(16, 16));
    QHeaderView* header = view->horizontalHeader();
    header->setMinimumSectionSize(0);
    header->setSectionsClickable(true);
    header->setHighlightSections(false);
    header->setStretchLastSection(false);
    for (std::size_t i = 0; i < widths.size(); ++i)
        header->resizeSection(static_cast<int>(i), widths[i]);
    // The selection stays as visible when the list loses the focus.
    QPalette pal = view->palette();
    pal.setColor(QPalette::Inactive, QPalette::Highlight,
                 pal.color(QPalette::Active, QPalette::Highlight));
    pal.setColor(QPalette::Inactive, QPalette::HighlightedText,
                 pal.color(QPalette::Active, QPalette::HighlightedText));
    view->setPalette(pal);
    return view;
}

void TForm1::buildTab2(QWidget* tab) {
    ListView2Model = new FragmentTableModel(fragmentHeaders("序号", "开始页面号"),
                                            fragmentView_.rows, &fragmentView_.checked, this);
    ListView2 = makeList(tab, "ListView2", ListView2Model, {100, 80, 80, 80, 800, 0, 0});
    ListView2->setGeometry(0, 0, 987, 398);
    connect(ListView2->horizontalHeader(), &QHeaderView::sectionClicked, this,
            &TForm1::ListView2ColumnClick);
    connect(ListView2, &QTableView::clicked, this, &TForm1::ListView2Click);

    PopupMenu1 = named(new QMenu(ListView2), "PopupMenu1");
    auto item = [this](const char* name, const char* caption) {
        return named(PopupMenu1->addAction(QString::fromUtf8(caption)), name);
    };
    N9 = item("N9", "提取勾选碎片到文件");
    N10 = item("N10", "全部选择");
    N14 = item("N14", "全部取消选择");
    N15 = item("N15", "反向选择");
    N11 = item("N11", "碎片过滤");
    N12 = item("N12", "统计勾选的碎片信息");
    N13 = item("N13", "复制此碎片的开始扇区号到剪贴板");
    N16 = item("N16", "把选择的碎片加入组合");
    N17 = item("N17", "取勾选碎片的文件名");
    N18 = item("N18", "取更新信息");
    connect(N9, &QAction::triggered, this, &TForm1::N9Click);
    connect(N10, &QAction::triggered, this, &TForm1::N10Click);
    connect(N14, &QAction::triggered, this, &TForm1::N14Click);
    connect(N15, &QAction::triggered, this, &TForm1::N15Click);
    connect(N12, &QAction::triggered, this, &TForm1::N12Click);
    connect(N13, &QAction::triggered, this, &TForm1::N13Click);
    connect(N16, &QAction::triggered, this, &TForm1::N16Click);
    connect(N17, &QAction::triggered, this, &TForm1::N17Click);
    connect(N18, &QAction::triggered, this, &TForm1::N18Click);
    ListView2->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ListView2, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        PopupMenu1->popup(ListView2->viewport()->mapToGlobal(at));
    });

    GroupBox1 = named(new QGroupBox(QStringLiteral("开始页面号范围"), tab), "GroupBox1");
    GroupBox1->setGeometry(8, 404, 600, 100);
    rb3 = named(new QRadioButton(QStringLiteral("全部显示"), GroupBox1), "rb3");
    rb3->setGeometry(10, 22, 120, 22);
    rb1 = named(new QRadioButton(QStringLiteral("开始页面号范围"), GroupBox1), "rb1");
    rb1->setGeometry(10, 46, 130, 22);
    auto* Label4 = named(new QLabel(QStringLiteral(">="), GroupBox1), "Label4");
    Label4->setGeometry(146, 48, 20, 20);
    Edit1 = named(new QLineEdit(QStringLiteral("edtbeginid"), GroupBox1), "Edit1");
    Edit1->setGeometry(168, 46, 110, 24);
    auto* Label8 = named(new QLabel(QStringLiteral("<"), GroupBox1), "Label8");
    Label8->setGeometry(286, 48, 14, 20);
    edtendid = named(new QLineEdit(QStringLiteral("edtendid"), GroupBox1), "edtendid");
    edtendid->setGeometry(302, 46, 110, 24);
    rb2 = named(new QRadioButton(QStringLiteral("含如ID的碎片"), GroupBox1), "rb2");
    rb2->setGeometry(10, 72, 130, 22);
    edtpgid = named(new QLineEdit(QStringLiteral("edtpgid"), GroupBox1), "edtpgid");
    edtpgid->setGeometry(168, 72, 110, 24);
    edtfilter = named(new QPushButton(QStringLiteral("过滤"), GroupBox1), "edtfilter");
    edtfilter->setGeometry(470, 40, 110, 32);
    connect(edtfilter, &QPushButton::clicked, this, &TForm1::edtfilterClick);

    btnsave = named(new QPushButton(QStringLiteral("保存此次扫描信息(SAVE)"), tab), "btnsave");
    btnsave->setGeometry(630, 420, 220, 34);
    Button3 = named(new QPushButton(QStringLiteral("打开扫描信息文件(OPEN)"), tab), "Button3");
    Button3->setGeometry(630, 462, 220, 34);
    connect(btnsave, &QPushButton::clicked, this, &TForm1::btnsaveClick);
    connect(Button3, &QPushButton::clicked, this, &TForm1::Button3Click);
}

void TForm1::buildTab3(QWidget* tab) {
    ListView3Model = new CatalogueModel(this);
    ListView3 = makeList(tab, "ListView3", ListView3Model, {100, 800, 0, 0, 0, 0, 0});
    ListView3->setGeometry(0, 0, 600, 504);
    connect(ListView3, &QTableView::clicked, this, &TForm1::ListView3Click);
    Button1 = named(new QPushButton(QStringLiteral("分析该碎片(FILTER)"), tab), "Button1");
    Button1->setGeometry(610, 8, 180, 32);
    chkauto = named(new QCheckBox(QStringLiteral("自动模式"), tab), "chkauto");
    chkauto->setGeometry(806, 14, 120, 22);
    chkauto->setChecked(true);
    Memo2 = named(new QPlainTextEdit(tab), "Memo2");
    Memo2->setGeometry(610, 48, 374, 456);
    Memo2->setReadOnly(true);
    connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
}

void TForm1::buildTab4(QWidget* tab) {
    ListView4Model = new FragmentTableModel(fragmentHeaders("序号", "起始页面号"), combinationRows_,
                                            nullptr, this);
    ListView4 = makeList(tab, "ListView4", ListView4Model, {100, 100, 100, 100, 800, 0, 0});
    ListView4->setGeometry(0, 0, 987, 330);
    connect(ListView4->horizontalHeader(), &QHeaderView::sectionClicked, this,
            &TForm1::ListView4ColumnClick);
    connect(ListView4, &QTableView::clicked, this, &TForm1::ListView4Click);
    Button6 = named(new QPushButton(QStringLiteral("查找遗漏碎片(SEARCH MORE)"), tab), "Button6");
    Button6->setGeometry(8, 338, 220, 34);
    Button5 = named(new QPushButton(QStringLiteral("检查遗漏页(CHECK)"), tab), "Button5");
    Button5->setGeometry(238, 338, 200, 34);
    Button2 = named(new QPushButton(QStringLiteral("组合MDF(CREATE MDF)"), tab), "Button2");
    Button2->setGeometry(448, 338, 200, 34);
    Button5->setEnabled(false);
    Button2->setEnabled(false);
    btntables = named(new QPushButton(QStringLiteral("表与行(TABLES)"), tab), "btntables");
    btntables->setGeometry(658, 338, 180, 34);
    connect(btntables, &QPushButton::clicked, this, &TForm1::btntablesClick);
    Memo3 = named(new QPlainTextEdit(tab), "Memo3");
    Memo3->setGeometry(8, 378, 976, 126);
    Memo3->setReadOnly(true);
    connect(Button6, &QPushButton::clicked, this, &TForm1::Button6Click);
    connect(Button5, &QPushButton::clicked, this, &TForm1::Button5Click);
    connect(Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
}

// ---- Start-up and shut-down ----

void TForm1::FormCreate() {
    {
        const QSignalBlocker quiet(PageControl1);
        PageControl1->setCurrentWidget(TabSheet1);
    }
    // The session starts with pages read from the source, no scan running and no file system;
    // the file id box gives the scan its file id.
    session_->settings().fileIdText = s(Edit2->text());
    Memo1->clear();
    Memo2->clear();
    buildSourceMenu();
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (busy_ > 0) {
        // A command on the window's thread is under way; the window closes when it has ended.
        closePending_ = true;
        if (frmuserchoose_ && frmuserchoose_->waiting()) frmuserchoose_->btncancelClick();
        event->ignore();
        return;
    }
    // FormClose: a running scan is stopped and every worker has ended before the window goes.
    reporter_.shutDown();
    session_->requestStop();
    session_->waitForJobs();
    jobTimer_->stop();
    if (frmuserchoose_) frmuserchoose_->hide();
    event->accept();
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Label7 && event->type() == QEvent::MouseButtonPress) {
        Label7Click();
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

void TForm1::waitForJobs() {
    session_->waitForJobs();
    reporter_.deliverPending();
    pollJobs();
}

// ---- The Reporter's updates ----

void TForm1::appendLog(Memo memo, const QString& lines) {
    QPlainTextEdit* m = memo == Memo::Scan ? Memo1 : memo == Memo::Analysis ? Memo2 : Memo3;
    m->appendPlainText(lines);
}

void TForm1::clearLog(Memo memo) {
    (memo == Memo::Scan ? Memo1 : memo == Memo::Analysis ? Memo2 : Memo3)->clear();
}

void TForm1::setStatus(const QString& text) {
    stat1Panel0->setText(text);
}

void TForm1::setProgress(int percent) {
    g1->setValue(std::clamp(percent, 0, 100));
}

void TForm1::showMessage(const std::string& text, const std::string& caption, MessageIcon icon) {
    dialogs_->message(text, caption, icon);
}

void TForm1::updatesDelivered() {
    ListView2Model->commitAppended();
}

void TForm1::recordAppended(std::size_t recordIndex, const FragmentRecord& r) {
    // Built here, while the record cannot change; shown on the window's thread.
    FragmentRow row{static_cast<std::int32_t>(recordIndex),
                    0,
                    r.sizeKB,
                    r.beginPage,
                    r.endPage,
                    r.memo,
                    r.fsec,
                    r.esec};
    reporter_.post([this, row = std::move(row)]() mutable { fragmentAppended(std::move(row)); });
}

void TForm1::lastRecordRemoved() {
    reporter_.post([this] { lastFragmentRemoved(); });
}

void TForm1::listReplaced() {
    reporter_.post([this] { showFragmentList(); });
}

// ---- Data source ----

void TForm1::buildSourceMenu() {
    pm1->clear();
    N7 = named(pm1->addAction(QStringLiteral("Open disk img file")), "N7");
    connect(N7, &QAction::triggered, this, &TForm1::N7Click);
    pm1->addSeparator();
    disks_ = devices_.listDisks();
    for (std::size_t i = 0; i < disks_.size(); ++i) {
        QAction* a = pm1->addAction(q(disks_[i].caption));
        a->setObjectName(QStringLiteral("disk%1").arg(i));
        a->setData(static_cast<int>(i));
        connect(a, &QAction::triggered, this, [this, i] { DiskItemClick(static_cast<int>(i)); });
    }
    pm1->addSeparator();
    volumes_ = devices_.listVolumes();
    for (std::size_t i = 0; i < volumes_.size(); ++i) {
        QAction* a = pm1->addAction(q(volumes_[i].caption));
        a->setObjectName(QStringLiteral("volume%1").arg(i));
        a->setData(static_cast<int>(i));
        connect(a, &QAction::triggered, this, [this, i] { VolumeItemClick(static_cast<int>(i)); });
    }
}

void TForm1::showPartitionEntries() {
    for (QAction* a : pm1->actions())
        if (a->objectName().startsWith(QStringLiteral("partition"))) {
            pm1->removeAction(a);
            a->deleteLater();
        }
    if (partitions_.empty()) return;
    QAction* sep = pm1->addSeparator();
    sep->setObjectName(QStringLiteral("partitionSeparator"));
    for (std::size_t i = 0; i < partitions_.size(); ++i) {
        const PartitionEntry& p = partitions_[i];
        QAction* a = pm1->addAction(QStringLiteral("Partition %1: %2 (%3 sectors from sector %4) ")
                                        .arg(p.number)
                                        .arg(q(p.typeName))
                                        .arg(p.sectorCount)
                                        .arg(p.firstSector));
        a->setObjectName(QStringLiteral("partition%1").arg(i));
        connect(a, &QAction::triggered, this,
                [this, i] { PartitionItemClick(static_cast<int>(i)); });
    }
}

void TForm1::showSettings() {
    const ScanSettings& st = session_->settings();
    if (!st.dataSourceText.empty()) edtDataStr->setText(q(st.dataSourceText));
    edtbegin->setText(q(st.beginSector));
    edtend->setText(q(st.endSector));
    edtsecs->setText(q(st.sectorsPerCluster));
    label5->setText(q(st.fileSystemLabel));
    chkfreespace->setChecked(st.freeSpaceOnly);
    chkfreespace->setEnabled(st.freeSpaceEnabled && st.controlsEnabled);
}

void TForm1::collectSettings() {
    ScanSettings& st = session_->settings();
    st.beginSector = s(edtbegin->text());
    st.endSector = s(edtend->text());
    st.sectorsPerCluster = s(edtsecs->text());
    st.freeSpaceOnly = chkfreespace->isChecked();
    st.startPageLimit = CheckBox1->isChecked();
    st.maxStartPage = s(edtmaxpageid->text());
    st.fileIdText = s(Edit2->text());
}

void TForm1::N7Click() {
    const auto path = dialogs_->openFile("打开镜像文件(Open disk img file)", kImageFilter);
    if (!path) return;
    collectSettings();
    const bool partition = dialogs_->askYesNo(
        "choose yes if it is a driver img,choose no if it is a disk img", "file type");
    forgetRescueMap();
    chooseDiskLike([this, path = *path, partition] {
        session_->openImage(path, partition ? ImageKind::Partition : ImageKind::WholeDisk);
        showSettings();
        partitions_.clear();
        if (!partition) partitions_ = session_->listPartitions().partitions;
        showPartitionEntries();
    });
}

void TForm1::DiskItemClick(int tag) {
    if (tag < 0 || static_cast<std::size_t>(tag) >= disks_.size()) return;
    collectSettings();
    forgetRescueMap();
    chooseDiskLike([this, disk = disks_[static_cast<std::size_t>(tag)]] {
        session_->chooseDisk(disk, devices_);
        showSettings();
        partitions_ = session_->listPartitions().partitions;
        showPartitionEntries();
    });
}

void TForm1::VolumeItemClick(int tag) {
    if (tag < 0 || static_cast<std::size_t>(tag) >= volumes_.size()) return;
    collectSettings();
    forgetRescueMap();
    chooseDiskLike([this, volume = volumes_[static_cast<std::size_t>(tag)]] {
        session_->chooseVolume(volume);
        showSettings();
    });
}

void TForm1::PartitionItemClick(int tag) {
    if (tag < 0 || static_cast<std::size_t>(tag) >= partitions_.size()) return;
    collectSettings();
    // A partition of the disk chosen before: its map stays. The partition's sectors count from
    // the disk's start, so the disk is chosen again first (after another partition, the source
    // starts at that one).
    choose([this, disk = diskChoice_, partition = partitions_[static_cast<std::size_t>(tag)]] {
        if (disk) disk();
        session_->choosePartition(partition);
        showSettings();
    });
}

void TForm1::chooseDiskLike(std::function<void()> choice) {
    if (!session_->busy()) diskChoice_ = choice;
    choose(std::move(choice));
}

void TForm1::choose(std::function<void()> choice) {
    // Refused while a job runs (the session says so): the choice before stays the one to repeat.
    if (session_->busy()) return choice();
    lastChoice_ = std::move(choice);
    lastChoice_();
}

void TForm1::forgetRescueMap() {
    if (session_->rescueMapPath().empty() || session_->busy()) return;
    session_->dropRescueMap();
    edtMapFile->clear();
    edtMapFile->setToolTip({});
    btnNoMap->setEnabled(false);
}

void TForm1::btnMapClick() {
    if (!session_->sourceChosen() || !lastChoice_) {
        dialogs_->message("choose datasource first！", "message", MessageIcon::Warning);
        return;
    }
    const auto path = dialogs_->openFile(kMapOpenTitle, kMapFilter);
    if (!path) return;
    MapProblem problem;
    if (!session_->useRescueMap(*path, problem)) {
        // A job running has been told already; the map in use before stays.
        if (!problem.text.empty()) dialogs_->message(problem.text, "提示", MessageIcon::Warning);
        return;
    }
    edtMapFile->setText(q(*path));
    edtMapFile->setToolTip(q(*path));
    btnNoMap->setEnabled(true);
    // The choice read the boot sector and the partition table without the map: a sector
    // ddrescue never read must not decide where the volume lies.
    collectSettings();
    lastChoice_();
}

void TForm1::btnNoMapClick() {
    // While a job runs the session refuses, and says so.
    if (session_->busy()) return session_->dropRescueMap();
    forgetRescueMap();
    collectSettings();
    if (lastChoice_) lastChoice_();
}

void TForm1::CheckBox1Click() {
    edtmaxpageid->setEnabled(CheckBox1->isChecked());
}

void TForm1::Label7Click() {
    const bool showText = !img1->isHidden();
    img1->setVisible(!showText);
    lbl1->setVisible(showText);
}

// ---- Scan ----

void TForm1::btnscanClick() {
    collectSettings();
    if (session_->takeFileId()) startScan();
}

void TForm1::N2Click() {
    collectSettings();
    startScan();
}

void TForm1::startScan() {
    // A scan of another source starts a new list: the old one may be kept first (its fragment
    // list only; its pages lie on the other source).
    if (session_->listIsOfAnotherSource() &&
        dialogs_->askYesNo(
            "碎片列表属于另一个数据源,扫描将开始新的列表。先保存旧的扫描信息吗?\n(the "
            "fragment list is of another source; this scan starts a new list. Save "
            "the old scan-info first?)",
            "提示")) {
        if (const auto path = dialogs_->saveFile(kScanInfoSaveTitle, "", ""))
            session_->saveScan(path, std::nullopt, std::random_device{}() % 2147483647u);
    }
    switch (session_->startScan()) {
        case StartResult::Started:
            scanStarted();
            break;
        case StartResult::NoSource:
            edtDataStr->setFocus();
            break;
        case StartResult::Busy:
        case StartResult::BadInput:
            break;
    }
}

void TForm1::scanStarted() {
    {
        const QSignalBlocker quiet(PageControl1);
        PageControl1->setCurrentWidget(TabSheet3);
        PageControl1->setCurrentWidget(TabSheet2);
        PageControl1->setCurrentWidget(TabSheet1);
    }
    btnscan->setEnabled(false);
    for (QWidget* w : {static_cast<QWidget*>(chkfreespace), static_cast<QWidget*>(edtbegin),
                       static_cast<QWidget*>(edtend), static_cast<QWidget*>(edtsecs),
                       static_cast<QWidget*>(CheckBox1), static_cast<QWidget*>(edtmaxpageid)})
        w->setEnabled(false);
    scanWasRunning_ = true;
    jobTimer_->start();
}

void TForm1::N3Click() {
    session_->requestStop();
}
void TForm1::btnstopClick() {
    N3Click();
}

void TForm1::pollJobs() {
    reporter_.deliverPending();
    if (scanWasRunning_ && !session_->busy()) {
        session_->waitForJobs();
        reporter_.deliverPending();
        scanWasRunning_ = false;
    }
    if (analysisWasRunning_ && !session_->analysisRunning()) {
        session_->waitForJobs();
        analysisWasRunning_ = false;
        reporter_.deliverPending();
        showCombination();
        Button1->setEnabled(true);
        chkauto->setEnabled(true);
    }
    if (!scanWasRunning_ && !analysisWasRunning_) jobTimer_->stop();
}

// ---- Fragment list ----

void TForm1::showFragmentList() {
    fragmentView_.fill(session_->fragments());
    ListView2Model->reload();
}

void TForm1::fragmentAppended(FragmentRow row) {
    row.caption = static_cast<std::int64_t>(fragmentView_.rows.size()) + 1;
    ListView2Model->appendRow(std::move(row));
}

void TForm1::lastFragmentRemoved() {
    ListView2Model->removeLastRow();
}

void TForm1::btnsaveClick() {
    Busy busy(*this);
    const auto scanInfo = dialogs_->saveFile(kScanInfoSaveTitle, "", "");
    std::optional<std::string> content;
    if (dialogs_->askYesNo("save all the content", "save content")) {
        content = dialogs_->saveFile(kContentSaveTitle, "", "spcontent");
        if (!content && !scanInfo) return;
    }
    std::random_device random;
    const std::uint32_t seed = random() % 2147483647u;
    collectSettings();
    session_->saveScan(scanInfo, content, seed);
}

void TForm1::Button3Click() {
    Busy busy(*this);
    {
        const QSignalBlocker quiet(PageControl1);
        PageControl1->setCurrentWidget(TabSheet3);
        PageControl1->setCurrentWidget(TabSheet2);
    }
    const auto scanInfo = dialogs_->openFile("打开扫描信息文件(OPEN)", "");
    std::optional<std::string> content;
    if (dialogs_->askYesNo("已经打开了扫描信息。是否需要打开所有碎片的内容文件", "打开碎片内容"))
        content = dialogs_->openFile("打开碎片内容", "");
    collectSettings();
    // A list that was replaced shows itself through listReplaced.
    session_->openScan(scanInfo, content);
    showSettings();
}

void TForm1::ListView2ColumnClick(int column) {
    sortFragmentList(column);
}

void TForm1::sortFragmentList(int column) {
    if (session_->sortFragmentView(fragmentView_, column)) ListView2Model->reload();
}

std::optional<std::size_t> TForm1::selectedRow(QTableView* view) const {
    const QModelIndex current = view->currentIndex();
    if (!current.isValid()) return std::nullopt;
    return static_cast<std::size_t>(current.row());
}

void TForm1::selectClickedRow(QTableView* view) {
    const QModelIndex current = view->currentIndex();
    if (current.isValid()) view->selectRow(current.row());
}

void TForm1::ListView2Click() {
    selectClickedRow(ListView2);
}
void TForm1::ListView3Click() {
    selectClickedRow(ListView3);
}
void TForm1::ListView4Click() {
    selectClickedRow(ListView4);
}

void TForm1::edtfilterClick() {
    FilterInput input;
    input.mode = rb3->isChecked()   ? FilterMode::ShowAll
                 : rb1->isChecked() ? FilterMode::BeginPageRange
                 : rb2->isChecked() ? FilterMode::ContainsPage
                                    : FilterMode::None;
    input.beginAtLeast = s(Edit1->text());
    input.beginBelow = s(edtendid->text());
    input.containsPage = s(edtpgid->text());
    if (session_->filterFragments(input)) showFragmentList();
}

void TForm1::N9Click() {
    Busy busy(*this);
    session_->runCommand([this] { exportCheckedFragments(); });
}

void TForm1::exportCheckedFragments() {
    FragmentTools tools = session_->fragmentTools();
    if (dialogs_->askYesNo(
            "choose yes if save to a single file,choose no if save to multiple files", "message")) {
        const bool check = dialogs_->askYesNo(
            "choose yes if checking double pageid,choose no if no checking double pageid",
            "message");
        // Overlapping rows are refused before a file is asked for; the core tells the user which.
        if (check && overlapsPrevious(fragmentView_)) {
            tools.exportToOneFile(fragmentView_, true, {});
            return;
        }
        const auto path = dialogs_->saveFile("create file", "", "noname");
        if (!path) return;
        tools.exportToOneFile(fragmentView_, check, *path);
    } else {
        const auto folder = dialogs_->chooseFolder("folder choose");
        if (!folder) return;
        tools.exportToFolder(fragmentView_, *folder);
    }
}

void TForm1::N10Click() {
    fragmentView_.checkAll();
    ListView2Model->checksChanged();
}

void TForm1::N14Click() {
    fragmentView_.uncheckAll();
    ListView2Model->checksChanged();
}

void TForm1::N15Click() {
    fragmentView_.invertChecks();
    ListView2Model->checksChanged();
}

void TForm1::N12Click() {
    session_->fragmentTools().showCheckedStatistics(fragmentView_);
}

void TForm1::N13Click() {
    if (auto text =
            session_->fragmentTools().startSectorText(fragmentView_, selectedRow(ListView2)))
        QGuiApplication::clipboard()->setText(q(*text));
}

void TForm1::N16Click() {
    if (session_->addToCombination(fragmentView_)) showCombination();
}

void TForm1::N17Click() {
    session_->runCommand([this] { session_->fragmentTools().showFileNames(fragmentView_); });
}

void TForm1::N18Click() {
    if (session_->runCommand(
            [this] { session_->fragmentTools().appendLogSequenceNumbers(fragmentView_); }))
        ListView2Model->reload();
}

// ---- Analysis ----

void TForm1::PageControl1Change(int index) {
    if (index != 2) return;
    // While a job runs the list cannot be read; the rows shown stay until it has ended, and the
    // status bar says they may be out of date rather than leaving a stale list unexplained.
    if (session_->busy()) {
        stat1Panel0->setText(QStringLiteral(
            "数据库列表未更新:任务运行中 (the database list is not refreshed while a "
            "job runs; open this tab again when it has ended)"));
        return;
    }
    ListView3Model->setRows(session_->listDatabaseFiles());
}

void TForm1::Button1Click() {
    if (session_->scanRunning()) {
        session_->startAnalysis({});  // refused: tells the user that the scan is still running
        return;
    }
    {
        const QSignalBlocker quiet(PageControl1);
        PageControl1->setCurrentWidget(TabSheet4);
        PageControl1->setCurrentWidget(TabSheet3);
    }
    if (frmuserchoose_) frmuserchoose_->deleteLater();
    frmuserchoose_ = new Tfrmuserchoose(*session_, *dialogs_, this);
    emit chooserCreated(frmuserchoose_.data());
    std::optional<CatalogueRow> selected;
    if (auto row = selectedRow(ListView3); row && *row < ListView3Model->rows().size())
        selected = ListView3Model->rows()[*row];
    if (!selected) return;
    Button1->setEnabled(false);
    chkauto->setEnabled(false);
    if (chkauto->isChecked()) {
        if (session_->startAnalysis(*selected) == StartResult::Started) {
            analysisWasRunning_ = true;
            jobTimer_->start();
            return;
        }
    } else {
        Busy busy(*this);
        session_->startAnalysis(*selected, frmuserchoose_.data());
        showCombination();
    }
    Button1->setEnabled(true);
    chkauto->setEnabled(true);
}

// ---- Combination ----

void TForm1::showCombination() {
    combinationRows_ = session_->combination().rows;
    ListView4Model->reload();
    updateTab4Buttons();
}

void TForm1::updateTab4Buttons() {
    const CombinationList& c = session_->combination();
    Button2->setEnabled(c.createEnabled);
    Button5->setEnabled(c.checkEnabled);
    Button6->setEnabled(c.searchEnabled);
}

void TForm1::ListView4ColumnClick(int column) {
    session_->sortCombination(column);
    showCombination();
}

void TForm1::Button6Click() {
    Busy busy(*this);
    for (QPushButton* b : {Button2, Button5, Button6})
        b->setEnabled(false);
    session_->searchMore();
    showCombination();
}

void TForm1::Button5Click() {
    session_->checkMissingPages();
}

void TForm1::Button2Click() {
    Busy busy(*this);
    const CombinationList& c = session_->combination();
    if (c.rows.empty() || c.rows.front().startPage != 0) {
        Memo3->clear();
        return;
    }
    const auto path =
        dialogs_->saveFile(kMdfSaveTitle, "", defaultMdfName(session_->analysis().lostFileName));
    if (!path) return;
    // Writing onto the device being recovered can overwrite what is still to be found: only when
    // the user says so.
    OutputGuard guard = session_->outputGuard();
    const std::string refusal = guard.refusal(*path);
    guard.allowSourceDevice = true;
    bool allowed = false;
    if (!refusal.empty() && guard.refusal(*path).empty()) {
        if (!dialogs_->askYesNo(refusal + "\n仍要保存到这里吗?(save there anyway?)", "提示"))
            return;
        allowed = true;
    }
    session_->allowWritingOnSourceDevice(allowed);
    // The window keeps painting while the file is written, but takes no other command.
    PageControl1->setEnabled(false);
    mm1->setEnabled(false);
    // The same sequence as the command line's: search more, split pages, newest copies, check,
    // write, and the verdict on what was written.
    const RecoveryResult result = session_->completeRecovery(*path);
    PageControl1->setEnabled(true);
    mm1->setEnabled(true);
    session_->allowWritingOnSourceDevice(false);
    showCombination();
    if (!result.written.written) return;
    lastMdf_ = *path;
    const std::vector<std::string> lines = recoveryLines(*session_, result, *path);
    for (const std::string& line : lines)
        appendLog(Memo::Assembly, q(line));
    if (!result.written.verdict.complete) {
        // One box for the whole verdict: its judgement and the first pages of every list.
        std::string text = "MDF文件不完整(THE MDF FILE IS PARTIAL)";
        for (const std::string& line : verdictLines(result.written.verdict))
            text += "\n" + line;
        for (const std::string& line : tablesHit(result.tables))
            text += "\n" + line;
        dialogs_->message(text, "提示", MessageIcon::Warning);
    }
}

void TForm1::btntablesClick() {
    Busy busy(*this);
    std::string path = lastMdf_;
    if (path.empty()) {
        const auto chosen = dialogs_->openFile("打开MDF文件(open an MDF file)",
                                               "MDF文件(*.mdf)|*.mdf;*.MDF|所有文件(*.*)|*");
        if (!chosen) return;
        path = *chosen;
    }
    std::string error;
    auto file = std::shared_ptr<DatabasePages>(DatabasePages::open(path, error));
    if (!file) {
        dialogs_->message(error, "提示", MessageIcon::Warning);
        return;
    }
    auto catalogue = std::make_shared<Catalogue>(readCatalogue(*file));
    auto census = std::make_shared<FileCensus>(takeCensus(*file, *catalogue));
    if (frmtables_) frmtables_->close();
    // The export reads only the .mdf, and writes where the user says, never onto that file.
    frmtables_ = new frmtables(
        path, *census,
        [this, path, file, catalogue, census] {
            const auto db = dialogs_->saveFile("保存表行(save the rows)", "SQLite(*.db)|*.db",
                                               std::filesystem::path(path).stem().string() + ".db");
            if (!db) return;
            OutputGuard guard;
            guard.sourcePath = path;
            if (const std::string refusal = guard.refusal(*db); !refusal.empty()) {
                dialogs_->message(refusal, "提示", MessageIcon::Warning);
                return;
            }
            const std::unique_ptr<RowSink> sink = sqliteSink(*db, guard);
            std::vector<TableExport> account;
            if (!exportRows(*file, *catalogue, *census, {}, *sink, account)) {
                dialogs_->message(sink->error(), "提示", MessageIcon::Error);
                return;
            }
            std::int64_t rows = 0;
            std::string missing;
            for (const TableExport& t : account) {
                rows += t.rowsWritten;
                if (t.pagesMissing > 0 || !t.notDecoded.empty())
                    missing +=
                        "\n" + t.table + ": " + std::to_string(t.pagesMissing) + " pages missing" +
                        (t.notDecoded.empty() ? "" : ", not decoded: " + t.notDecoded.front());
            }
            dialogs_->message(std::to_string(rows) + " rows of " + std::to_string(account.size()) +
                                  " tables written to " + *db + missing,
                              "提示",
                              missing.empty() ? MessageIcon::Information : MessageIcon::Warning);
        },
        this);
    frmtables_->setAttribute(Qt::WA_DeleteOnClose);
    frmtables_->show();
}

// ---- Window ----

void TForm1::N6Click() {
    Tfrmabout about(this);
    about.exec();
}

void TForm1::Button7Click() {
    N6Click();
}

}  // namespace mdf::ui
