#include "ui/dialogs.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QStringList>

namespace mdf::ui {

namespace {
QString q(const std::string& s) {
    return QString::fromStdString(s);
}

QMessageBox::Icon boxIcon(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::Information:
            return QMessageBox::Information;
        case MessageIcon::Warning:
            return QMessageBox::Warning;
        case MessageIcon::Error:
            return QMessageBox::Critical;
        case MessageIcon::None:
            break;
    }
    return QMessageBox::NoIcon;
}

std::optional<std::string> chosen(const QString& path) {
    if (path.isEmpty()) return std::nullopt;
    return path.toStdString();
}
}  // namespace

QString qtFilter(const std::string& filter) {
    const QStringList parts = q(filter).split(QLatin1Char('|'));
    QStringList out;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString patterns = parts[i + 1];
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        out << parts[i] + QStringLiteral(" (") + patterns + QLatin1Char(')');
    }
    return out.join(QStringLiteral(";;"));
}

void QtDialogs::message(const std::string& text, const std::string& caption, MessageIcon icon) {
    QMessageBox box(boxIcon(icon), q(caption), q(text), QMessageBox::Ok, parent_);
    box.exec();
}

bool QtDialogs::askYesNo(const std::string& text, const std::string& caption) {
    return QMessageBox::question(parent_, q(caption), q(text), QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::Yes) == QMessageBox::Yes;
}

std::optional<std::string> QtDialogs::openFile(const std::string& title,
                                               const std::string& filter) {
    return chosen(QFileDialog::getOpenFileName(parent_, q(title), QString(), qtFilter(filter)));
}

std::optional<std::string> QtDialogs::saveFile(const std::string& title, const std::string& filter,
                                               const std::string& defaultName) {
    return chosen(QFileDialog::getSaveFileName(parent_, q(title), q(defaultName),
                                               filter.empty() ? QString() : qtFilter(filter)));
}

std::optional<std::string> QtDialogs::chooseFolder(const std::string& title) {
    return chosen(QFileDialog::getExistingDirectory(parent_, q(title)));
}

}  // namespace mdf::ui
