#include "TarvikApp.h"

int main(int argc, char** argv) {
    // Help and version need no display, so they are answered before the
    // toolkit starts (toolkit options on the same line leave them to
    // InitInstance).
    QStringList arguments;
    for (int i = 0; i < argc; i++) arguments << QString::fromLocal8Bit(argv[i]);
    StartupOptions options;
    QString error;
    const int status = CTarvikApp::AnswerWithoutDisplay(CTarvikApp::ParseOptions(arguments, &options, &error));
    if (status >= 0) return status;
    CTarvikApp app(argc, argv);
    return app.InitInstance();
}
