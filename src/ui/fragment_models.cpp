#include "ui/fragment_models.h"

#include <QColor>
#include <QPainter>
#include <QPixmap>
#include <algorithm>

#include "assembly/fragment_tools.h"

namespace mdf::ui {

QColor evenRowColour() {
    return QColor(120, 182, 93);
}
QColor oddRowColour() {
    return QColor(120, 221, 139);
}

QIcon rowIcon(bool beginsFile) {
    static const QIcon icons[2] = {
        [] {
            QPixmap pix(16, 16);
            pix.fill(Qt::transparent);
            QPainter p(&pix);
            p.setPen(QColor(60, 60, 60));
            p.setBrush(QColor(200, 200, 200));
            p.drawRect(2, 3, 11, 10);
            p.drawLine(4, 6, 11, 6);
            p.drawLine(4, 9, 11, 9);
            return QIcon(pix);
        }(),
        [] {
            QPixmap pix(16, 16);
            pix.fill(Qt::transparent);
            QPainter p(&pix);
            p.setRenderHint(QPainter::Antialiasing);
            p.setPen(QColor(120, 80, 0));
            p.setBrush(QColor(240, 190, 40));
            p.drawRect(2, 4, 12, 9);
            p.drawEllipse(2, 1, 12, 6);
            p.drawEllipse(2, 10, 12, 5);
            return QIcon(pix);
        }(),
    };
    return icons[beginsFile ? 1 : 0];
}

void FragmentListView::show(std::vector<FragmentRow> shown) {
    rows = std::move(shown);
    checked.assign(rows.size(), false);
}

FragmentListView::Sorted FragmentListView::sorted(int column) const {
    Sorted out;
    out.order.resize(rows.size());
    for (std::size_t i = 0; i < out.order.size(); ++i)
        out.order[i] = i;
    std::stable_sort(out.order.begin(), out.order.end(), [&](std::size_t a, std::size_t b) {
        return compareRows(rows[a], rows[b], column) < 0;
    });
    out.rows.reserve(rows.size());
    for (std::size_t i : out.order)
        out.rows.push_back(rows[i]);
    return out;
}

void FragmentListView::take(Sorted&& sorted) {
    std::vector<bool> sortedChecks(sorted.order.size());
    for (std::size_t k = 0; k < sorted.order.size(); ++k)
        sortedChecks[k] = checked[sorted.order[k]];
    rows.swap(sorted.rows);
    checked.swap(sortedChecks);
}

std::vector<FragmentRow> FragmentListView::checkedRows() const {
    std::vector<FragmentRow> out;
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (checked[i]) out.push_back(rows[i]);
    return out;
}

namespace {
QVariant rowBackground(int row) {
    return row % 2 == 0 ? evenRowColour() : oddRowColour();
}
}  // namespace

FragmentTableModel::FragmentTableModel(QStringList headers, std::vector<FragmentRow>& rows,
                                       std::vector<bool>* checked, QObject* parent)
    : QAbstractTableModel(parent),
      headers_(std::move(headers)),
      rows_(rows),
      checked_(checked),
      shown_(static_cast<int>(rows.size())) {}

int FragmentTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : shown_;
}

int FragmentTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(headers_.size());
}

QVariant FragmentTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= shown_) return {};
    const auto row = static_cast<std::size_t>(index.row());
    const FragmentRow& r = rows_[row];
    const int column = index.column();
    switch (role) {
        case Qt::DisplayRole:
            switch (column) {
                case kCaptionColumn:
                    return QString::number(r.caption);
                case kSizeColumn:
                    return QString::number(r.sizeKB);
                case kStartPageColumn:
                    return QString::number(r.startPage);
                case kEndPageColumn:
                    return QString::number(r.endPage);
                case kRemarkColumn:
                    return QString::fromStdString(r.remark);
                case kStartSectorColumn:
                    return QString::number(r.startSector);
                case kEndSectorColumn:
                    return QString::number(r.endSector);
                default:
                    return {};
            }
        case Qt::DecorationRole:
            if (column == 0) return rowIcon(r.beginsFile());
            return {};
        case Qt::CheckStateRole:
            if (column == 0 && checked_ && row < checked_->size())
                return (*checked_)[row] ? Qt::Checked : Qt::Unchecked;
            return {};
        case Qt::BackgroundRole:
            return rowBackground(index.row());
        case Qt::ForegroundRole:
            return QColor(Qt::black);
        default:
            return {};
    }
}

bool FragmentTableModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || role != Qt::CheckStateRole || index.column() != 0 || !checked_)
        return false;
    const auto row = static_cast<std::size_t>(index.row());
    if (row >= checked_->size()) return false;
    (*checked_)[row] = value.toInt() == Qt::Checked;
    emit dataChanged(index, index, {Qt::CheckStateRole});
    return true;
}

Qt::ItemFlags FragmentTableModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags f = QAbstractTableModel::flags(index);
    if (index.isValid() && index.column() == 0 && checked_) f |= Qt::ItemIsUserCheckable;
    return f;
}

QVariant FragmentTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
        section < headers_.size())
        return headers_[section];
    return {};
}

void FragmentTableModel::reload() {
    beginResetModel();
    if (checked_) checked_->resize(rows_.size(), false);
    shown_ = static_cast<int>(rows_.size());
    endResetModel();
}

void FragmentTableModel::appendRow(FragmentRow row) {
    rows_.push_back(std::move(row));
    if (checked_) checked_->push_back(false);
}

void FragmentTableModel::commitAppended() {
    const int total = static_cast<int>(rows_.size());
    if (total <= shown_) return;
    beginInsertRows(QModelIndex(), shown_, total - 1);
    shown_ = total;
    endInsertRows();
}

void FragmentTableModel::removeLastRow() {
    if (rows_.empty()) return;
    const int last = static_cast<int>(rows_.size()) - 1;
    if (last >= shown_) {
        rows_.pop_back();
        if (checked_) checked_->pop_back();
        return;
    }
    beginRemoveRows(QModelIndex(), last, last);
    rows_.pop_back();
    if (checked_) checked_->pop_back();
    shown_ = last;
    endRemoveRows();
}

void FragmentTableModel::checksChanged() {
    if (shown_ > 0) emit dataChanged(index(0, 0), index(shown_ - 1, 0), {Qt::CheckStateRole});
}

void FragmentTableModel::rowChanged(int row) {
    if (row >= 0 && row < shown_) emit dataChanged(index(row, 0), index(row, columnCount() - 1));
}

CatalogueModel::CatalogueModel(QObject* parent) : QAbstractTableModel(parent) {}

int CatalogueModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int CatalogueModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 7;
}

QVariant CatalogueModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || static_cast<std::size_t>(index.row()) >= rows_.size()) return {};
    const CatalogueRow& r = rows_[static_cast<std::size_t>(index.row())];
    switch (role) {
        case Qt::DisplayRole:
            switch (index.column()) {
                case 0:
                    return QString::number(index.row() + 1);
                case 1:
                    return QString::fromStdString(r.name);
                case 2:
                    return QString::number(r.sizeKB);
                case 3:
                    return QString::number(r.beginPage);
                case 4:
                    return QString::number(r.endPage);
                case 5:
                    return QString::number(r.fsec);
                case 6:
                    return QString::number(r.esec);
                default:
                    return {};
            }
        case Qt::DecorationRole:
            if (index.column() == 0) return rowIcon(true);
            return {};
        case Qt::BackgroundRole:
            return rowBackground(index.row());
        case Qt::ForegroundRole:
            return QColor(Qt::black);
        default:
            return {};
    }
}

QVariant CatalogueModel::headerData(int section, Qt::Orientation orientation, int role) const {
    static const char* const captions[] = {"序号",     "文件名",       "size(KB)",  "begin page",
                                           "end page", "begin sector", "end sector"};
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < 7)
        return QString::fromUtf8(captions[section]);
    return {};
}

void CatalogueModel::setRows(std::vector<CatalogueRow> rows) {
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
}

}  // namespace mdf::ui
