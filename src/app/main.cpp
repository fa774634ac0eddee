#include "app/ZingwellApp.h"

int main(int argc, char** argv) {
    ZingwellApp app(argc, argv);
    if (!app.InitInstance()) {
        return 1;
    }
    return app.exec();
}
