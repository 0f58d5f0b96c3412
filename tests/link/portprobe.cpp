// Opens a serial port as the window does, from a process of its own: "hold PORT" keeps it open
// until its input closes; "open PORT" prints the window's box text when the open fails.
#include "link/seriallink.h"

#include <QCoreApplication>

#include <cstdio>
#include <unistd.h>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3 || (args[1] != QLatin1String("hold") && args[1] != QLatin1String("open")))
        return 2;
    SerialLink link;
    link.setPortName(args[2]);
    if (!link.open()) {
        std::fputs(link.openFailure().boxText().toLocal8Bit().constData(), stdout);
        return 1;
    }
    if (args[1] == QLatin1String("hold")) {
        std::puts("held");
        std::fflush(stdout);
        char byte;
        while (::read(STDIN_FILENO, &byte, 1) > 0) { }
    }
    return 0;
}
