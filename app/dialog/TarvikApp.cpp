#include "TarvikApp.h"

#include <QCommandLineParser>
#include <QFile>
#include <cstdio>
#include <cstring>

#include "TarvikDlg.h"
#include "core/version.h"

namespace {

// Mounting repairs a volume that an interrupted recording left open: the
// user is told on the terminal which disks were written, as the command line
// tool tells it.
void ReportRepairs(const StartupReport& report) {
    for (const DiskWrite& w : report.repairs) {
        if (w.refused != 0) {
            fprintf(stderr, "tarvik-gui: disk %d (%s) cannot be written (%s): the repair could not be stored\n",
                    w.disk + 1, w.path.c_str(), strerror(w.refused));
        }
        fprintf(stderr, "tarvik-gui: mounting %s %llu sector(s) of disk %d (%s)\n",
                w.keptInMemory ? "changed in memory only" : "WROTE", static_cast<unsigned long long>(w.sectors),
                w.disk + 1, w.path.c_str());
    }
}

// The options and what they mean, for the parser and for --help alike.
struct OptionHelp {
    QStringList names;
    const char* value;  // the value's name, or "" for a switch
    const char* meaning;
};
const OptionHelp kOptions[] = {
    {{"D", "device"}, "PATH", "a disk: an image file or a block device (repeatable)"},
    {{"repair"}, "", "store the mount repair on disks that can be written"},
    {{"read-only"}, "", "the default: never write to a disk, repairs stay in memory"},
    {{"h", "help"}, "", "show this help and exit"},
    {{"version"}, "", "show the version and exit"},
};

}  // namespace

CTarvikApp::CTarvikApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName("tarvik-gui");
    setApplicationVersion(QString::fromStdString(ProjectVersion()));
}

QString CTarvikApp::Usage() {
    QString text = "Usage: tarvik-gui [-D PATH]... [--repair | --read-only]\n\nOptions:\n";
    for (const OptionHelp& o : kOptions) {
        QStringList forms;
        for (const QString& name : o.names) forms << (name.size() == 1 ? "-" : "--") + name;
        const QString left = forms.join(", ") + (*o.value != '\0' ? QString(" ") + o.value : QString());
        text += QString("  %1  %2\n").arg(left, -22).arg(o.meaning);
    }
    text += "Search lists every recording of the chosen channel whose time meets the window: it starts\n"
            "no later than the window's end and ends no earlier than its start.\n";
    return text;
}

int CTarvikApp::AnswerWithoutDisplay(Launch launch) {
    if (launch == Launch::Help) fputs(qUtf8Printable(Usage()), stdout);
    else if (launch == Launch::Version) printf("%s\n", VersionLine("tarvik-gui").c_str());
    else return -1;
    return 0;
}

CTarvikApp::Launch CTarvikApp::ParseOptions(const QStringList& arguments, StartupOptions* options, QString* error) {
    QCommandLineParser parser;
    for (const OptionHelp& o : kOptions) parser.addOption(QCommandLineOption(o.names, o.meaning, o.value));
    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return Launch::Error;
    }
    if (parser.isSet("help")) return Launch::Help;
    if (parser.isSet("version")) return Launch::Version;
    if (!parser.positionalArguments().isEmpty()) {
        *error = "unexpected argument " + parser.positionalArguments().first();
        return Launch::Error;
    }
    options->diskPaths.clear();
    for (const QString& path : parser.values("device")) options->diskPaths.push_back(QFile::encodeName(path).toStdString());
    if (parser.isSet("repair") && parser.isSet("read-only")) {
        *error = "--repair and --read-only exclude each other";
        return Launch::Error;
    }
    options->repair = parser.isSet("repair");
    return Launch::Dialog;
}

int CTarvikApp::InitInstance() {
    StartupOptions options;
    QString error;
    switch (const Launch launch = ParseOptions(arguments(), &options, &error)) {
        case Launch::Help:
        case Launch::Version:
            return AnswerWithoutDisplay(launch);
        case Launch::Error:
            fprintf(stderr, "tarvik-gui: %s\n%s", qUtf8Printable(error), qUtf8Printable(Usage()));
            return 2;
        case Launch::Dialog:
            break;
    }
    // A PC without a usable recorder partition still gets the dialog: its
    // Search then answers "No record disk." or "No record.".
    const StartupReport report = InitLibrary(options);
    fflush(stdout);  // the library's start-up diagnostics before the notices
    ReportRepairs(report);
    CTarvikDlg dialog(report.diskCount, !options.repair || report.writeRefused);
    dialog.exec();
    return 0;
}
