// The first tab: the data source (disks, volumes, partitions, images, a ddrescue map) and the scan.
#include "ui/window_parts.h"

namespace mdf::ui {

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
    if (!st.sourceCaption.empty()) edtDataStr->setText(q(st.sourceCaption));
    edtbegin->setText(QString::number(st.beginSector));
    edtend->setText(QString::number(st.endSector));
    if (st.sectorsPerCluster) edtsecs->setText(QString::number(*st.sectorsPerCluster));
    label5->setText(q(st.fileSystemLabel));
    chkfreespace->setChecked(st.freeSpaceOnly);
    // Free space means something only on a file system, and a scan, once begun, leaves its
    // settings as they were.
    chkfreespace->setEnabled(session_->volume().hasFileSystem && !scanControlsLocked_);
}

bool TForm1::takeScanBoxes() {
    const auto begin = parseInteger(s(edtbegin->text()));
    const auto end = parseInteger(s(edtend->text()));
    const auto stride = parseInteger(s(edtsecs->text()));
    const auto limit = parseInteger(s(edtmaxpageid->text()));
    if (!begin || !end || !stride || (CheckBox1->isChecked() && !limit)) {
        dialogs_->message(kScanNumbersRule, "message", MessageIcon::None);
        return false;
    }
    ScanSettings& st = session_->settings();
    st.beginSector = *begin;
    st.endSector = *end;
    st.sectorsPerCluster = *stride;
    st.freeSpaceOnly = chkfreespace->isChecked();
    st.maxStartPage = CheckBox1->isChecked() ? limit : std::nullopt;
    return true;
}

std::optional<std::int64_t> TForm1::numberInBox(const QLineEdit* box) {
    const std::string text = s(box->text());
    const auto number = parseInteger(text);
    if (!number)
        dialogs_->message("'" + text + "' is not a valid integer value", "message",
                          MessageIcon::Error);
    return number;
}

bool TForm1::takeFileIdBox() {
    const auto id = numberInBox(Edit2);
    if (!id) return false;
    // Page headers hold the file id in 16 bits: the box's low 16 bits are what is looked for.
    session_->settings().fileId = static_cast<std::uint16_t>(*id);
    return true;
}

void TForm1::N7Click() {
    if (!session_->acceptsCommands()) return;
    const auto path = dialogs_->openFile("打开镜像文件(Open disk img file)", kImageFilter);
    if (!path) return;
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
    forgetRescueMap();
    chooseDiskLike([this, volume = volumes_[static_cast<std::size_t>(tag)]] {
        session_->chooseVolume(volume);
        showSettings();
    });
}

void TForm1::PartitionItemClick(int tag) {
    if (tag < 0 || static_cast<std::size_t>(tag) >= partitions_.size()) return;
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
    lastChoice_();
}

void TForm1::btnNoMapClick() {
    // While a job runs the session refuses, and says so.
    if (session_->busy()) return session_->dropRescueMap();
    forgetRescueMap();
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

// While a job runs, or before a source is chosen, the scan's boxes are left unread: the scan is
// refused, and says why.
bool TForm1::scanMayReadBoxes() const {
    return session_->acceptsCommands() && session_->sourceChosen();
}

// The scan button takes the file id first, then does what the menu command does.
void TForm1::btnscanClick() {
    if (session_->acceptsCommands()) {
        if (!takeFileIdBox()) return;
        session_->takeFileId();
    }
    N2Click();
}

void TForm1::N2Click() {
    if (scanMayReadBoxes() && !takeScanBoxes()) return;
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
    scanControlsLocked_ = true;
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

}  // namespace mdf::ui
