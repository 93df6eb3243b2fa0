// The dialog after a search with two recordings ticked, on screen for a few
// seconds for res/make_screenshot.sh to photograph: dialog_screenshot [SECONDS]
#include <QApplication>
#include <QTimer>

#include "dialog_harness.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    Searched s(16);
    s.dlg.folderAnswer = "/home/user/Recordings";
    s.dlg.Click("IDC_BROWSE");
    s.dlg.Tick(1);
    s.dlg.Tick(4);
    QTimer::singleShot((argc > 1 ? atoi(argv[1]) : 10) * 1000, &app, &QApplication::quit);
    return app.exec();
}
