// The application object: reads the disk options, starts the disk-access
// and storage libraries (mounting every recorder partition) and runs the
// main dialog; the application ends with the dialog.
#pragma once

#include <QApplication>
#include <QStringList>

#include "core/startup.h"

class CTarvikApp : public QApplication {
    Q_OBJECT
public:
    CTarvikApp(int& argc, char** argv);

    // Start-up and the dialog; returns the process's exit status.
    int InitInstance();

    // What the command line asks for.
    enum class Launch { Dialog, Help, Version, Error };

    // tarvik-gui [-D PATH]... [--repair | --read-only]: the disk options of the command
    // line tool, -h/--help and --version. Error, with a message, for anything
    // else.
    static Launch ParseOptions(const QStringList& arguments, StartupOptions* options, QString* error);
    // The usage line and every option with its meaning.
    static QString Usage();
    // What help and version ask for is printed without a display; returns
    // the exit status, or -1 when the dialog is to open.
    static int AnswerWithoutDisplay(Launch launch);
};
