#include "TarvikApp.h"

#include <QCommandLineParser>
#include <QFile>
#include <cstdio>

#include "TarvikDlg.h"

namespace {

// Mounting repairs a volume that an interrupted recording left open: the
// user is told on the terminal which disks were written, as the command line
// tool tells it.
void ReportRepairs(const StartupReport& report) {
    for (const DiskWrite& w : report.repairs) {
        fprintf(stderr, "tarvik-gui: mounting %s %llu sector(s) of disk %d (%s)\n",
                w.keptInMemory ? "changed in memory only" : "WROTE", static_cast<unsigned long long>(w.sectors),
                w.disk + 1, w.path.c_str());
    }
}

}  // namespace

CTarvikApp::CTarvikApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName("tarvik-gui");
    setApplicationVersion("1.0");
}

bool CTarvikApp::ParseOptions(const QStringList& arguments, StartupOptions* options, QString* error) {
    QCommandLineParser parser;
    const QCommandLineOption device({"D", "device"}, "A disk: an image file or a block device (repeatable).", "PATH");
    const QCommandLineOption readOnly("read-only", "Never write to a disk: repairs stay in memory.");
    parser.addOption(device);
    parser.addOption(readOnly);
    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return false;
    }
    if (!parser.positionalArguments().isEmpty()) {
        *error = "unexpected argument " + parser.positionalArguments().first();
        return false;
    }
    options->diskPaths.clear();
    for (const QString& path : parser.values(device)) options->diskPaths.push_back(QFile::encodeName(path).toStdString());
    options->readOnly = parser.isSet(readOnly);
    return true;
}

int CTarvikApp::InitInstance() {
    StartupOptions options;
    QString error;
    if (!ParseOptions(arguments(), &options, &error)) {
        fprintf(stderr, "tarvik-gui: %s\nusage: tarvik-gui [-D PATH]... [--read-only]\n", qUtf8Printable(error));
        return 2;
    }
    // A PC without a usable recorder partition still gets the dialog: its
    // Search then answers "No record disk." or "No record.".
    const StartupReport report = InitLibrary(options);
    fflush(stdout);  // the library's start-up diagnostics before the notices
    ReportRepairs(report);
    CTarvikDlg dialog(report.diskCount);
    dialog.exec();
    return 0;
}
