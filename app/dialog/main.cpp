#include <cstdio>

#include "TarvikApp.h"

int main(int argc, char** argv) {
    // Help needs no display, so it is answered before the toolkit starts
    // (toolkit options on the same line leave it to InitInstance).
    QStringList arguments;
    for (int i = 0; i < argc; i++) arguments << QString::fromLocal8Bit(argv[i]);
    StartupOptions options;
    QString error;
    if (CTarvikApp::ParseOptions(arguments, &options, &error) == CTarvikApp::Launch::Help) {
        fputs(qUtf8Printable(CTarvikApp::Usage()), stdout);
        return 0;
    }
    CTarvikApp app(argc, argv);
    return app.InitInstance();
}
