#pragma once

#include <QPixmap>
#include <QString>

namespace mdf::ui {

// The four-step guide the help label shows, one block per tab.
QString helpText();
// The picture shown in the help text's place until the user asks for the text.
QPixmap helpPicture(int width, int height);

}  // namespace mdf::ui
