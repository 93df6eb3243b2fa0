#include "TarvikApp.h"

int main(int argc, char** argv) {
    CTarvikApp app(argc, argv);
    return app.InitInstance();
}
