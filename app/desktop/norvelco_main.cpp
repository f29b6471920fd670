// NORVELCO, the desktop Configurator: one main window, run until it is closed.
#include <QApplication>

#include "app/desktop/main_dialog.h"
#include "ui/window_utils.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("KOVALTRA");
    // Every window carries the program's icon; the desktop matches them to the menu entry.
    InstallProductIcon();
    QGuiApplication::setDesktopFileName("norvelco");
    // Model rules may fire on the worker while a device is read; their notices go to the UI thread.
    InstallUserNoticeOnUiThread();
    // The main window hides while the monitor runs, so neither hiding it nor closing the monitor
    // may end the program: it ends when the main window is closed.
    app.setQuitOnLastWindowClosed(false);
    CNorveltDlg dialog;
    QObject::connect(&dialog, &QDialog::finished, &app, &QCoreApplication::quit);
    dialog.show();
    app.exec();
    return 0;
}
