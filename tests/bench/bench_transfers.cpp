// Times the window's read and write transfers, and riz-nvr's read, against the simulated board
// paced as a real line.
#include "boardcommands.h"
#include "boardfixture.h"
#include "testsupport.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <malloc.h>
#include <mutex>
#include <optional>

namespace {

constexpr double kBaud = 57600.0;
constexpr double kBitsPerByte = 10.0; // 8N1: start, eight data bits, stop
constexpr double kMiB = 1024.0 * 1024.0;

// What the board saw and sent in one phase. The board's own log would keep every frame of the
// run in this process and blur the window's memory figures, so it is summed up here and emptied.
class LineLog {
public:
    void add(const ReceivedCommand &command, const QByteArray &wire)
    {
        std::lock_guard lock(m_mutex);
        m_bytes += command.bytes.size() + wire.size();
        ++m_commands;
        if (!command.terminated)
            ++m_cutCommands;
        if (wire.endsWith("OK#"))
            ++m_okAnswers;
        m_lastCommand = command.bytes;
    }
    void reset()
    {
        std::lock_guard lock(m_mutex);
        m_bytes = m_commands = m_cutCommands = m_okAnswers = 0;
        m_lastCommand.clear();
    }

    qint64 bytes() const { return locked(m_bytes); }
    qint64 commands() const { return locked(m_commands); }
    qint64 cutCommands() const { return locked(m_cutCommands); }
    qint64 okAnswers() const { return locked(m_okAnswers); }
    QByteArray lastCommand() const { return locked(m_lastCommand); }

private:
    template <typename T> T locked(const T &member) const
    {
        std::lock_guard lock(m_mutex);
        return member;
    }

    mutable std::mutex m_mutex;
    qint64 m_bytes = 0;
    qint64 m_commands = 0;
    qint64 m_cutCommands = 0;
    qint64 m_okAnswers = 0;
    QByteArray m_lastCommand;
};

struct PhaseResult {
    double seconds = 0;
    qint64 lineBytes = 0;
    std::optional<qint64> startRssBytes;
    std::optional<qint64> peakRssBytes;
};

// Lowers the peak-resident mark to what is resident now, so the next peak is the phase's own.
bool resetPeakRss()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    return clearRefs.open(QIODevice::WriteOnly) && clearRefs.write("5") == 1;
}

std::optional<qint64> peakRss()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return std::nullopt;
    QTextStream in(&status);
    QString line;
    while (in.readLineInto(&line)) {
        if (!line.startsWith(QLatin1String("VmHWM:")))
            continue;
        bool ok = false;
        const qint64 kib = line.mid(6).trimmed().section(QLatin1Char(' '), 0, 0).toLongLong(&ok);
        if (ok)
            return kib * 1024;
    }
    return std::nullopt;
}

template <typename Transfer> PhaseResult runPhase(LineLog &line, Transfer transfer)
{
    if (!resetPeakRss())
        std::fputs("bench_transfers: cannot reset the peak RSS; it covers the whole run\n", stderr);
    line.reset();
    PhaseResult result;
    result.startRssBytes = peakRss();
    QElapsedTimer timer;
    timer.start();
    transfer();
    result.seconds = double(timer.nsecsElapsed()) / 1e9;
    result.peakRssBytes = peakRss();
    result.lineBytes = line.bytes();
    return result;
}

void printPhase(const char *name, int pages, const PhaseResult &result)
{
    const double wireSeconds = double(result.lineBytes) * kBitsPerByte / kBaud;
    const auto mib = [](std::optional<qint64> bytes) {
        return bytes ? QString::number(double(*bytes) / kMiB, 'f', 1) : QStringLiteral("n/a");
    };
    const QString rss = mib(result.peakRssBytes) + QStringLiteral(" MiB (")
        + mib(result.startRssBytes) + QStringLiteral(" at start)");
    std::printf("%-5s %d pages: %.2f s, wire %.2f s (%lld bytes), ratio %.3f, peak RSS %s\n", name,
        pages, result.seconds, wireSeconds, static_cast<long long>(result.lineBytes),
        wireSeconds > 0 ? result.seconds / wireSeconds : 0.0, qPrintable(rss));
    std::fflush(stdout);
}

// The window writes a line of debug output for every byte it takes; sent to a terminal they
// would time the terminal rather than the transfer. They are still formatted, as in the tool.
QtMessageHandler g_previousHandler = nullptr;

void dropDebugLines(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtDebugMsg && g_previousHandler)
        g_previousHandler(type, context, message);
}

bool sameTable(const QList<BoardParameter> &a, const QList<BoardParameter> &b)
{
    return std::equal(a.cbegin(), a.cend(), b.cbegin(), b.cend(),
        [](const BoardParameter &x, const BoardParameter &y) {
            return x.value == y.value && x.description == y.description;
        });
}

int fail(const QString &message)
{
    std::fprintf(stderr, "bench_transfers: %s\n", qPrintable(message));
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    // The board's thread would otherwise get its own heap arena: the texts it stores during the
    // write land there while the ones they replace are freed in the main arena, and the board's
    // whole table would show up as growth of the write.
    mallopt(M_ARENA_MAX, 1);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Reads and then writes N pages with the window's transfers against the simulated board."));
    parser.addHelpOption();
    const QCommandLineOption pagesOption(QStringLiteral("pages"),
        QStringLiteral("Pages on the board (default 1000)."), QStringLiteral("N"),
        QStringLiteral("1000"));
    const QCommandLineOption noPacingOption(QStringLiteral("no-pacing"),
        QStringLiteral("Let the board answer at once instead of at 57600 baud."));
    parser.addOptions({ pagesOption, noPacingOption });
    parser.process(app);

    bool ok = false;
    const int pages = parser.value(pagesOption).toInt(&ok);
    if (!ok || pages < 1)
        return fail(QStringLiteral("--pages needs a whole number of at least 1"));

    g_previousHandler = qInstallMessageHandler(dropDebugLines);

    QTemporaryDir dir;
    if (!dir.isValid())
        return fail(QStringLiteral("cannot create a temporary folder: ") + dir.errorString());
    const QString nvrPath = dir.filePath(QStringLiteral("bench.nvr"));
    const QString boardPath = dir.filePath(QStringLiteral("board.nvr"));

    LineLog line;
    CtlBoardSim sim;
    sim.generateParameters(pages - 1);
    sim.setLinePacing(!parser.isSet(noPacingOption));
    sim.setObserver([&line, &sim](const ReceivedCommand &command, const QByteArray &wire) {
        line.add(command, wire);
        sim.clearCommands();
    });
    if (!sim.start())
        return fail(QStringLiteral("cannot start the simulated board: ") + sim.errorString());
    const QList<BoardParameter> table = sim.parameters();
    if (!sim.saveNvr(boardPath))
        return fail(QStringLiteral("cannot save the board table: ") + sim.errorString());

    // riz-nvr's read first: the window holds the port from its open on. It runs on the real
    // timings, greets and takes leave of the board, and prints no progress, as in a script.
    const QString cliPath = dir.filePath(QStringLiteral("cli.nvr"));
    QString cliMessages;
    QTextStream cliStream(&cliMessages);
    BoardRun cliRun;
    cliRun.out = &cliStream;
    cliRun.err = &cliStream;
    int cliStatus = -1;
    const PhaseResult cliRead
        = runPhase(line, [&] { cliStatus = ReadBoard(cliRun, sim.portPath(), cliPath); });
    printPhase("cli", pages, cliRead);
    if (cliStatus != 0 || fileBytes(cliPath) != fileBytes(boardPath))
        return fail(
            QStringLiteral("riz-nvr read did not give the board's complete table: ") + cliMessages);

    MainWindow window;
    if (!openWindowPort(window, sim.portPath()))
        return fail(QStringLiteral("cannot open ") + sim.portPath());
    // Shown, so that whatever the window draws during a transfer is paid for as in the tool.
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return fail(QStringLiteral("the window was not shown"));
    // A failed transfer ends with a modal warning; it is closed and shown here. Whether the
    // transfers went through is judged from the file and the board, not from the boxes.
    ModalBoxCatcher boxes;
    const auto showBoxes = [&boxes] {
        for (const ModalBoxCatcher::Box &box : boxes.boxes()) {
            std::fprintf(stderr, "bench_transfers: message box \"%s\": %s\n", qPrintable(box.title),
                qPrintable(box.text));
        }
    };

    const PhaseResult read
        = runPhase(line, [&] { MainWindowTestAccess::readCtlToFile(window, nvrPath); });
    const qint64 fileSize = QFile(nvrPath).size();
    printPhase("read", pages, read);
    std::printf("cli/window read: %.3f\n", read.seconds > 0 ? cliRead.seconds / read.seconds : 0.0);
    std::printf("file  %d pages: %lld bytes (%.2f MiB)\n", pages, static_cast<long long>(fileSize),
        double(fileSize) / kMiB);
    std::fflush(stdout);
    if (fileBytes(nvrPath) != fileBytes(boardPath)) {
        showBoxes();
        return fail(QStringLiteral("the read did not give the board's complete table"));
    }

    // A write of the same file onto a board that already holds it would prove nothing. The texts
    // it replaces are about as long, so that the board's table does not grow in the figures.
    QList<BoardParameter> stale = table;
    for (BoardParameter &parameter : stale) {
        parameter.value.fill(u'?', parameter.value.size() + 1);
        parameter.description.fill(u'?', parameter.description.size() + 1);
    }
    sim.setParameters(stale);
    stale.clear();
    const PhaseResult write
        = runPhase(line, [&] { MainWindowTestAccess::writeFileToCtl(window, nvrPath); });
    printPhase("write", pages, write);

    const qint64 expectedCommands = 2 * qint64(pages) + 1; // value and description, "$24%"
    int result = 0;
    if (line.commands() != expectedCommands) {
        result = fail(QStringLiteral("the board received %1 commands, not %2")
                          .arg(line.commands())
                          .arg(expectedCommands));
    } else if (line.cutCommands() > 0) {
        result = fail(
            QStringLiteral("the board received %1 commands cut off").arg(line.cutCommands()));
    } else if (line.lastCommand() != "$24%") {
        result = fail(QStringLiteral("the write did not end with $24%"));
    } else if (line.okAnswers() != expectedCommands) {
        result = fail(QStringLiteral("the board answered OK to %1 of %2 commands")
                          .arg(line.okAnswers())
                          .arg(expectedCommands));
    } else if (!sameTable(sim.parameters(), table)) {
        result = fail(QStringLiteral("after the write the board does not hold the file's table"));
    }
    showBoxes();
    return result;
}
