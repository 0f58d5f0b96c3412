// Serves a simulated CTL PCB on a pseudo-terminal, a serial device or a socket until SIGINT or
// SIGTERM.
#include "boardoptions.h"
#include "boardsim.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = { -1, -1 };

void onTerminationSignal(int)
{
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[1], &byte, 1);
    errno = savedErrno;
}

bool installSignalPipe()
{
    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) < 0)
        return false;
    struct sigaction action { };
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0;
}

void logTraffic(const ReceivedCommand &command, const QByteArray &wire)
{
    QByteArray line = "ctl-board-sim: [" + QByteArray::number(command.receivedAtMs) + "] <- "
        + printableBytes(command.bytes);
    if (!command.terminated)
        line += "  (cut off, not answered)";
    else if (wire.isEmpty())
        line += "  (no answer)";
    else
        line += "  -> " + printableBytes(wire);
    line += '\n';
    std::fputs(line.constData(), stderr);
}

int fail(const QString &message)
{
    std::fprintf(stderr, "ctl-board-sim: %s\n", qPrintable(message));
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ctl-board-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulated CTL PCB: answers the service tool's serial commands on a pseudo-terminal of\n"
        "its own, or on the line given by --port or --socket."));
    parser.addHelpOption();
    const QCommandLineOption linkOption(QStringLiteral("link"),
        QStringLiteral("Keep a symbolic link to the pty at <path> while running."),
        QStringLiteral("path"));
    const QCommandLineOption portOption(QStringLiteral("port"),
        QStringLiteral("Serve the serial device <device> instead, e.g. a USB adapter joined to the "
                       "tool's by a null-modem cable, or a USB gadget's /dev/ttyGS0."),
        QStringLiteral("device"));
    const QCommandLineOption socketOption(QStringLiteral("socket"),
        QStringLiteral("Serve the Unix socket <path> instead, connecting to it: the server end of "
                       "an emulator's serial line (QEMU's -chardev socket,server=on)."),
        QStringLiteral("path"));
    const BoardOptions boardOptions;
    parser.addOptions({ linkOption, portOption, socketOption });
    parser.addOptions(boardOptions.all());
    parser.process(app);

    CtlBoardSim sim;
    const QString error = boardOptions.apply(sim, parser);
    if (!error.isEmpty())
        return fail(error);
    const int lines = int(parser.isSet(linkOption)) + int(parser.isSet(portOption))
        + int(parser.isSet(socketOption));
    if (lines > 1)
        return fail(QStringLiteral("--link, --port and --socket exclude each other"));
    if (parser.isSet(portOption))
        sim.setLine(CtlBoardSim::Line::Device, parser.value(portOption));
    if (parser.isSet(socketOption))
        sim.setLine(CtlBoardSim::Line::Socket, parser.value(socketOption));
    sim.setObserver(logTraffic);

    if (!installSignalPipe())
        return fail(QStringLiteral("cannot install the signal handlers"));
    if (!sim.start())
        return fail(sim.errorString());

    const QString linkPath = parser.value(linkOption);
    if (!linkPath.isEmpty() && !placeBoardLink(linkPath, sim.portPath()))
        return fail(QStringLiteral("cannot create the link %1").arg(linkPath));

    std::printf("ctl-board-sim: serving %s\n", qPrintable(sim.portPath()));
    std::fflush(stdout);

    plugBackInAfterHangUp(sim, &app, linkPath, kPlugBackInDelayMs, [](const QString &message) {
        std::fprintf(stderr, "ctl-board-sim: %s\n", qPrintable(message));
    });

    QSocketNotifier signalNotifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    app.exec();

    sim.stop();
    if (!linkPath.isEmpty())
        QFile::remove(linkPath);
    return 0;
}
