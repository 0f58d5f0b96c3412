// The service tool's own main window, with a simulated CTL PCB added to its port list.
#include "app/constants.h"
#include "app/qtsingleapplication.h"
#include "nvram/version.h"
#include "ui/mainwindow.h"

#include "boardoptions.h"
#include "boardsim.h"

#include <QComboBox>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>

namespace {

int fail(const QString &message)
{
    std::fprintf(stderr, "riz-oveda-demo: %s\n", qPrintable(message));
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    // A guard of its own: the real tool may run beside the demo, but two demos would fight
    // over the one link in the port list.
    QtSingleApplication app(kApplicationId + QStringLiteral("_demo"), argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("riz-oveda-demo"));
    if (app.isRunning())
        return fail(QStringLiteral("another demo is already running"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "The service tool with a simulated CTL PCB in its port list. Needs a display.\n"
        "The options from --latency on make the simulated board misbehave, to try out the tool's\n"
        "handling of each failure; the board's traffic is logged on stderr."));
    parser.addHelpOption();
    const QCommandLineOption linkOption(QStringLiteral("link"),
        QStringLiteral("The simulated port's path in the port list."), QStringLiteral("path"),
        QDir::tempPath() + QStringLiteral("/riz-oveda-sim/SIMULATED-CTL-PCB"));
    const BoardOptions boardOptions;
    parser.addOption(linkOption);
    parser.addOptions(boardOptions.all());
    parser.process(app);

    CtlBoardSim sim;
    const QString error = boardOptions.apply(sim, parser);
    if (!error.isEmpty())
        return fail(error);

    QElapsedTimer clock;
    clock.start();
    const qint64 startMs = clock.msecsSinceReference();
    sim.setObserver([startMs](const ReceivedCommand &command, const QByteArray &wire) {
        QByteArray line = "CTL PCB [" + QByteArray::number(command.receivedAtMs - startMs)
            + " ms] <- " + printableBytes(command.bytes);
        line += wire.isEmpty() ? QByteArray("  (no answer)") : "  -> " + printableBytes(wire);
        line += '\n';
        std::fputs(line.constData(), stderr);
    });

    if (!sim.start())
        return fail(sim.errorString());
    const QString linkPath = parser.value(linkOption);
    if (!placeBoardLink(linkPath, sim.portPath()))
        return fail(
            QStringLiteral("cannot create the link %1 (choose another with --link)").arg(linkPath));
    std::fprintf(stderr,
        "riz-oveda-demo: simulated CTL PCB on %s; choose %s in the port list and press COMMS\n",
        qPrintable(sim.portPath()), qPrintable(linkPath));
    plugBackInAfterHangUp(sim, &app, linkPath, kPlugBackInDelayMs,
        [](const QString &message) { std::fprintf(stderr, "CTL PCB: %s\n", qPrintable(message)); });

    int result = 0;
    {
        MainWindow window;
        window.setWindowTitle(kTitlePrefix + kVersion + QStringLiteral(" (simulated CTL PCB)"));
        auto *ports = window.findChild<QComboBox *>(QStringLiteral("comboBoxSerialPorts"));
        ports->addItem(linkPath);
        ports->setItemData(ports->count() - 1,
            QStringLiteral("Simulated CTL PCB on %1, not a real board").arg(sim.portPath()),
            Qt::ToolTipRole);
        window.show();
        result = app.exec();
    }

    sim.stop();
    QFile::remove(linkPath);
    return result;
}
