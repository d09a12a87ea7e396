#include "ui/help_text.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace mdf::ui {

QString helpText() {
    return QStringLiteral(
        "恢复步骤\n\n"
        "1 选择恢复的数据源 点右键选取分区硬盘或镜像\n"
        "   在数据源框上点右键,选择分区、硬盘或镜像文件(Open disk img file)。\n"
        "   扫描设置:删除默认,格式化把只扫描空闲簇去掉\n"
        "   (误删除的文件保持默认设置;格式化后去掉\"只扫描空闲簇\"。)\n"
        "   其它选项适专业人员选择\n"
        "   然后点\"开始扫描(SCAN)\"。\n\n"
        "2 碎片列表\n"
        "   普通用户不必打开碎片列表;可以保存此次扫描信息(SAVE),\n"
        "   以后用\"打开扫描信息文件(OPEN)\"继续,不必重新扫描。\n\n"
        "3    分析碎片,选中要恢复的数据库名,点分析按键,\n"
        "   提示分析完成后,转到碎片合成页面\n\n"
        "4 碎片合成  先二次碎片查找,提示找到0个碎片后,\n"
        "   点\"起始页面号\"列排序,检查遗漏页(CHECK),再组合MDF(CREATE MDF)。\n"
        "   请把MDF文件保存到其它磁盘,不要保存到原数据所在盘。");
}

QPixmap helpPicture(int width, int height) {
    QPixmap pix(width, height);
    pix.fill(QColor(236, 242, 250));
    QPainter p(&pix);
    p.setRenderHint(QPainter::Antialiasing);

    // A disk whose scattered pages are gathered into one file.
    const int cx = 20 + 70, cy = height / 2;
    QLinearGradient disk(cx - 70, 0, cx + 70, 0);
    disk.setColorAt(0, QColor(90, 110, 140));
    disk.setColorAt(1, QColor(150, 170, 200));
    p.setBrush(disk);
    p.setPen(QPen(QColor(40, 50, 70), 2));
    p.drawRoundedRect(cx - 70, cy - 90, 140, 180, 12, 12);
    p.setBrush(QColor(220, 225, 235));
    p.drawEllipse(QPoint(cx, cy - 10), 50, 50);
    p.setBrush(QColor(60, 70, 90));
    p.drawEllipse(QPoint(cx, cy - 10), 8, 8);

    const QColor fragments[] = {QColor(120, 182, 93), QColor(120, 221, 139), QColor(240, 190, 40)};
    for (int i = 0; i < 9; ++i) {
        p.setBrush(fragments[i % 3]);
        p.setPen(QPen(QColor(40, 60, 40), 1));
        p.drawRect(cx + 84 + (i % 3) * 26, cy - 70 + (i / 3) * 50 + (i % 2) * 10, 22, 30);
    }

    QPainterPath arrow;
    const int ax = cx + 84 + 3 * 26 + 8;
    arrow.moveTo(ax, cy - 12);
    arrow.lineTo(ax + 50, cy - 12);
    arrow.lineTo(ax + 50, cy - 26);
    arrow.lineTo(ax + 80, cy);
    arrow.lineTo(ax + 50, cy + 26);
    arrow.lineTo(ax + 50, cy + 12);
    arrow.lineTo(ax, cy + 12);
    arrow.closeSubpath();
    p.setBrush(QColor(0, 0, 128));
    p.setPen(Qt::NoPen);
    p.drawPath(arrow);

    const int fx = ax + 80 + 20 + 50;
    p.setBrush(QColor(255, 255, 255));
    p.setPen(QPen(QColor(0, 0, 128), 2));
    p.drawRect(fx - 50, cy - 80, 100, 160);
    for (int i = 0; i < 6; ++i) {
        p.setBrush(i == 3 ? QColor(220, 220, 220) : fragments[i % 3]);
        p.setPen(QPen(QColor(40, 60, 40), 1));
        p.drawRect(fx - 38, cy - 68 + i * 24, 76, 18);
    }
    QFont f = p.font();
    f.setBold(true);
    f.setPointSize(14);
    p.setFont(f);
    p.setPen(QColor(0, 0, 128));
    p.drawText(QRect(fx - 60, cy + 88, 120, 30), Qt::AlignCenter, QStringLiteral("MDF"));
    p.drawText(QRect(0, 12, width, 30), Qt::AlignCenter, QStringLiteral("碎片 → 数据库文件"));
    return pix;
}

}  // namespace mdf::ui
