// Program entry: one instance per user, one main window.
#include "app/constants.h"
#include "app/qtsingleapplication.h"
#include "nvram/version.h"
#include "ui/mainwindow.h"

int main(int argc, char *argv[])
{
    QtSingleApplication app(kApplicationId, argc, argv);
    if (app.isRunning())
        return 0;

    MainWindow window;
    window.setWindowTitle(kTitlePrefix + kVersion);
    window.show();
    return app.exec();
}
