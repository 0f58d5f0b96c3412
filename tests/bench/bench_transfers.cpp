// Times the window's read and write transfers against the simulated board paced as a real line.
#include "boardsim.h"
#include "testsupport.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <optional>

namespace {

constexpr double kBaud = 57600.0;
constexpr double kBitsPerByte = 10.0; // 8N1: start, eight data bits, stop
constexpr double kMiB = 1024.0 * 1024.0;

// Bytes both ways on the line, as the board saw and sent them.
struct LineCount {
    std::atomic<qint64> commandBytes { 0 };
    std::atomic<qint64> answerBytes { 0 };
    std::atomic<qint64> okAnswers { 0 };

    void reset()
    {
        commandBytes = 0;
        answerBytes = 0;
        okAnswers = 0;
    }
    qint64 total() const { return commandBytes + answerBytes; }
};

struct PhaseResult {
    double seconds = 0;
    qint64 lineBytes = 0;
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

template <typename Transfer> PhaseResult runPhase(LineCount &count, Transfer transfer)
{
    if (!resetPeakRss())
        std::fputs("bench_transfers: cannot reset the peak RSS; it covers the whole run\n", stderr);
    count.reset();
    QElapsedTimer timer;
    timer.start();
    transfer();
    PhaseResult result;
    result.seconds = double(timer.nsecsElapsed()) / 1e9;
    result.peakRssBytes = peakRss();
    result.lineBytes = count.total();
    return result;
}

void printPhase(const char *name, int pages, const PhaseResult &result)
{
    const double wireSeconds = double(result.lineBytes) * kBitsPerByte / kBaud;
    const QString rss = result.peakRssBytes
        ? QString::number(double(*result.peakRssBytes) / kMiB, 'f', 1) + QStringLiteral(" MiB")
        : QStringLiteral("n/a");
    std::printf("%-5s %d pages: %.2f s, wire %.2f s (%lld bytes), ratio %.3f, peak RSS %s\n", name,
        pages, result.seconds, wireSeconds, static_cast<long long>(result.lineBytes),
        wireSeconds > 0 ? result.seconds / wireSeconds : 0.0, qPrintable(rss));
    std::fflush(stdout);
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
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

    LineCount count;
    CtlBoardSim sim;
    sim.generateParameters(pages - 1);
    sim.setLinePacing(!parser.isSet(noPacingOption));
    sim.setObserver([&count](const ReceivedCommand &command, const QByteArray &wire) {
        count.commandBytes += command.bytes.size();
        count.answerBytes += wire.size();
        if (wire.endsWith("OK#"))
            ++count.okAnswers;
    });
    if (!sim.start())
        return fail(QStringLiteral("cannot start the simulated board: ") + sim.errorString());
    const QList<BoardParameter> table = sim.parameters();
    if (!sim.saveNvr(boardPath))
        return fail(QStringLiteral("cannot save the board table: ") + sim.errorString());

    resetLinkState();
    MainWindow window;
    if (!openWindowPort(window, sim.portPath()))
        return fail(QStringLiteral("cannot open ") + sim.portPath());
    // A failed transfer ends with a modal warning; it is closed and shown here. Whether the
    // transfers went through is judged from the file and the board, not from the boxes.
    ModalBoxCatcher boxes;

    const PhaseResult read
        = runPhase(count, [&] { MainWindowTestAccess::readCtlToFile(window, nvrPath); });
    const qint64 fileSize = QFile(nvrPath).size();
    printPhase("read", pages, read);
    std::printf("file  %d pages: %lld bytes (%.2f MiB)\n", pages, static_cast<long long>(fileSize),
        double(fileSize) / kMiB);
    std::fflush(stdout);
    if (fileBytes(nvrPath) != fileBytes(boardPath))
        return fail(QStringLiteral("the read did not give the board's complete table"));

    // A write of the same file onto a board that already holds it would prove nothing.
    sim.setParameters(QList<BoardParameter>(table.size()));
    sim.clearCommands();
    const PhaseResult write
        = runPhase(count, [&] { MainWindowTestAccess::writeFileToCtl(window, nvrPath); });
    printPhase("write", pages, write);

    const QList<ReceivedCommand> commands = sim.commands();
    const qsizetype expectedCommands = 2 * qsizetype(pages) + 1; // value and description, "$24%"
    int result = 0;
    if (commands.size() != expectedCommands) {
        result = fail(QStringLiteral("the board received %1 commands, not %2")
                          .arg(commands.size())
                          .arg(expectedCommands));
    } else if (std::any_of(commands.cbegin(), commands.cend(),
                   [](const ReceivedCommand &c) { return !c.terminated; })) {
        result = fail(QStringLiteral("the board received a command cut off"));
    } else if (commands.constLast().bytes != "$24%") {
        result = fail(QStringLiteral("the write did not end with $24%"));
    } else if (count.okAnswers != expectedCommands) {
        result = fail(QStringLiteral("the board answered OK to %1 of %2 commands")
                          .arg(count.okAnswers)
                          .arg(expectedCommands));
    } else if (!sameTable(sim.parameters(), table)) {
        result = fail(QStringLiteral("after the write the board does not hold the file's table"));
    }
    for (const ModalBoxCatcher::Box &box : boxes.boxes()) {
        std::fprintf(stderr, "bench_transfers: message box \"%s\": %s\n", qPrintable(box.title),
            qPrintable(box.text));
    }
    return result;
}
