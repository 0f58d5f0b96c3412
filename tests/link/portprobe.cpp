// Opens a serial port as the window does, from a process of its own: "hold PATH" keeps it open
// until its input closes; "open PATH" prints the window's box text when the open fails.
#include "link/serialdevice.h"

#include <QCoreApplication>
#include <QSerialPort>

#include <cstdio>
#include <unistd.h>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3 || (args[1] != QLatin1String("hold") && args[1] != QLatin1String("open")))
        return 2;
    QSerialPort port;
    port.setPortName(args[2]);
    if (!port.open(QIODevice::ReadWrite)) {
        std::fputs(OpenFailureMessage(port).toLocal8Bit().constData(), stdout);
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
