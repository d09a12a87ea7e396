#include "ui/about_box.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace mdf::ui {

Tfrmabout::Tfrmabout(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmabout"));
    setWindowTitle(QStringLiteral("关于"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::WindowStaysOnTopHint);
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    auto* text = new QLabel(
        QStringLiteral("<b>SarvelMDF文件恢复工具5.0</b><br><br>"
                       "从磁盘、分区或镜像中找回丢失的 SQL Server 数据库文件(MDF)。<br>"
                       "Recovers a lost SQL Server data file (MDF) from a disk, a partition "
                       "or an image.<br><br>"
                       "只读取数据源,从不写入。(The source is only ever read.)<br>"
                       "业务联系专业恢复: 请联系您的数据恢复服务商。"),
        this);
    text->setObjectName(QStringLiteral("lblabout"));
    text->setWordWrap(true);
    layout->addWidget(text);
    auto* ok = new QPushButton(QStringLiteral("确定"), this);
    ok->setObjectName(QStringLiteral("btnaboutok"));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    layout->addWidget(ok, 0, Qt::AlignRight);
    setFixedSize(420, 220);
}

}  // namespace mdf::ui
