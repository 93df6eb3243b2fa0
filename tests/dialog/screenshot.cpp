// Opens the dialog over a sample disk, after a search with two recordings
// ticked, and keeps it on screen for a few seconds so that the display can
// be photographed (res/make_screenshot.sh does so under a virtual X server).
//   dialog_screenshot [SECONDS]
#include <QApplication>
#include <QTimer>

#include "core/startup.h"
#include "dialog_harness.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    Session session;
    if (!session.Start({SampleDay(16)})) {
        fprintf(stderr, "dialog_screenshot: %s\n", session.Error().c_str());
        return 1;
    }
    CTestDlg dlg(DiskCount());
    SetWindow(dlg, "2024-03-01 00:00:00", "2024-03-01 23:59:59");
    dlg.folderAnswer = "/home/user/Recordings";
    dlg.Click("IDC_BROWSE");
    dlg.Click("IDC_SEARCH");
    dlg.Tick(1, true);
    dlg.Tick(4, true);
    dlg.show();
    QTimer::singleShot((argc > 1 ? atoi(argv[1]) : 10) * 1000, &app, &QApplication::quit);
    return app.exec();
}
