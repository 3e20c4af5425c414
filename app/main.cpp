#include "app/CQuenlowApp.h"

int main(int argc, char** argv) {
    CQuenlowApp app(argc, argv);
    if (!app.InitInstance()) return 0;
    return app.exec();
}
