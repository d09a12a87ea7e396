// mdfrecover-gui: the window over the recovery core.
#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "ui/main_window.h"

int main(int argc, char** argv) {
    const bool headless = std::getenv("QT_QPA_PLATFORM") != nullptr;
    if (!headless && !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) {
        std::fprintf(stderr,
                     "mdfrecover-gui needs a display: neither DISPLAY nor WAYLAND_DISPLAY is set.\n"
                     "Run it on a desktop, over ssh -X, or under xvfb-run; the command line "
                     "(./run --help) works without one.\n");
        return 2;
    }
    QApplication app(argc, argv);
    // No display name: the platform would append it to every window's title, and the title is
    // the window's own caption alone.
    QApplication::setApplicationName(QStringLiteral("RIR Idav"));
    mdf::ui::TForm1 window;
    window.show();
    return app.exec();
}
