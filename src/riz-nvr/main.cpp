// riz-nvr: checks parameter files before they go to a board, compares two backups, and reads,
// writes and verifies a board.
#include "boardcommands.h"
#include "link/frame.h"
#include "nvram/nvrformat.h"
#include "nvram/version.h"
#include "nvrcheck.h"
#include "nvrdiff.h"
#include "nvrtext.h"
#include "ports.h"

#include <QBuffer>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

#include <csignal>
#include <cstdio>
#include <optional>
#include <unistd.h>

namespace {

void writeOut(const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
}

void tell(const QString &message)
{
    std::fputs(qPrintable(QStringLiteral("riz-nvr: ") + message + QLatin1Char('\n')), stderr);
}

int usageError(const QString &message)
{
    tell(message);
    tell(QStringLiteral("try 'riz-nvr --help'"));
    return kExitTrouble;
}

// Returns the usage error, if any; otherwise shows help or version and exits when asked for.
// process() is not used: it ends an unknown option with status 1, which here means findings.
std::optional<int> parseCommand(QCommandLineParser &parser, const QStringList &arguments)
{
    if (!parser.parse(arguments))
        return usageError(EscapedText(parser.errorText()));
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(kExitClean);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    return std::nullopt;
}

// Holds the whole file in buffer, open for reading; tells why not when it cannot be read.
bool readOrTell(const QString &name, QBuffer &buffer)
{
    const NvrFileContents contents = ReadNvrFile(name);
    if (!contents.error.isEmpty()) {
        tell(CannotReadText(name, contents.error));
        return false;
    }
    buffer.setData(contents.bytes);
    return buffer.open(QIODevice::ReadOnly);
}

int check(QCommandLineParser &parser, const QStringList &arguments)
{
    parser.setApplicationDescription(QStringLiteral(
        "Walks each parameter file exactly as the write to a board would and prints a summary\n"
        "(lines to send, commands, bytes, and the time the commands take on a %1 baud 8N1\n"
        "line; the board's answers are not counted) and every finding as FILE:LINE: reason,\n"
        "\"refused: \" before the reason where the write would refuse the file.\n"
        "Exit status: 0 nothing found, 1 findings, 2 a file cannot be read.")
                                         .arg(kBaudRate));
    parser.clearPositionalArguments();
    parser.addPositionalArgument(
        QStringLiteral("check"), QStringLiteral("Check parameter files."), QStringLiteral("check"));
    parser.addPositionalArgument(QStringLiteral("files"),
        QStringLiteral("The \".nvr\" files to check."), QStringLiteral("FILE..."));
    const QCommandLineOption commandsOption(QStringLiteral("commands"),
        QStringLiteral("Also print every command as it goes on the wire, after its length."));
    parser.addOption(commandsOption);
    if (const std::optional<int> status = parseCommand(parser, arguments))
        return *status;
    const QStringList files = parser.positionalArguments().mid(1);
    if (files.isEmpty())
        return usageError(QStringLiteral("check needs at least one file"));

    int status = kExitClean;
    for (const QString &name : files) {
        QBuffer file;
        if (!readOrTell(name, file)) {
            status = kExitTrouble;
            continue;
        }
        if (CheckReport(name, &file, parser.isSet(commandsOption), writeOut)
            && status == kExitClean)
            status = kExitFindings;
    }
    return status;
}

int diff(QCommandLineParser &parser, const QStringList &arguments)
{
    parser.setApplicationDescription(QStringLiteral(
        "Compares two backups page by page: pages added and removed, values and descriptions\n"
        "changed, then one count line. A page twice in one file cannot be compared.\n"
        "Exit status: 0 the same, 1 different, 2 trouble."));
    parser.clearPositionalArguments();
    parser.addPositionalArgument(
        QStringLiteral("diff"), QStringLiteral("Compare two backups."), QStringLiteral("diff"));
    parser.addPositionalArgument(
        QStringLiteral("old"), QStringLiteral("The earlier backup."), QStringLiteral("OLD"));
    parser.addPositionalArgument(
        QStringLiteral("new"), QStringLiteral("The later backup."), QStringLiteral("NEW"));
    const QCommandLineOption jsonOption(
        QStringLiteral("json"), QStringLiteral("Print the result as one JSON document."));
    parser.addOption(jsonOption);
    if (const std::optional<int> status = parseCommand(parser, arguments))
        return *status;
    const QStringList files = parser.positionalArguments().mid(1);
    if (files.size() != 2)
        return usageError(QStringLiteral("diff needs two files, OLD and NEW"));

    NvrBackup backups[2];
    for (int i = 0; i < 2; ++i) {
        QBuffer file;
        if (!readOrTell(files.at(i), file))
            return kExitTrouble;
        backups[i] = ReadNvrBackup(&file);
        if (!backups[i].trouble.isEmpty()) {
            tell(BackupTroubleText(files.at(i), backups[i]));
            return kExitTrouble;
        }
    }
    const NvrDiff result = DiffNvrBackups(backups[0], backups[1]);
    writeOut(parser.isSet(jsonOption) ? DiffJson(result) : DiffText(result));
    return result.isEmpty() ? kExitClean : kExitFindings;
}

int ports(QCommandLineParser &parser, const QStringList &arguments)
{
    parser.setApplicationDescription(QStringLiteral(
        "Lists the serial ports, one a line: the name, the description, manufacturer and serial\n"
        "number the system reports, the /dev/serial/by-id/ link, and the program that holds\n"
        "the port. No port is opened to find out. Exit status: 0 listed, 2 trouble."));
    parser.clearPositionalArguments();
    parser.addPositionalArgument(
        QStringLiteral("ports"), QStringLiteral("List serial ports."), QStringLiteral("ports"));
    const QCommandLineOption jsonOption(
        QStringLiteral("json"), QStringLiteral("Print the list as one JSON array."));
    parser.addOption(jsonOption);
    if (const std::optional<int> status = parseCommand(parser, arguments))
        return *status;
    if (parser.positionalArguments().size() != 1)
        return usageError(QStringLiteral("ports takes no arguments"));
    const QList<PortListing> listing = ListPorts();
    if (listing.isEmpty() && !parser.isSet(jsonOption))
        tell(QStringLiteral("no serial port found"));
    writeOut(parser.isSet(jsonOption) ? PortsJson(listing) : PortsText(listing));
    return kExitClean;
}

// Noticed between exchanges only, never waited on: a flag is all a handler needs to leave.
volatile std::sig_atomic_t g_stopSignal = 0;

void noteStopSignal(int signal) { g_stopSignal = signal; }

void dropDebugLines(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtDebugMsg)
        std::fputs(
            qPrintable(qFormatLogMessage(type, context, message) + QLatin1Char('\n')), stderr);
}

// Options every board command has, and how it then runs: the real timings, stdout and stderr,
// the progress line on a terminal only, the exchange's debug lines on request, and a stop on
// SIGINT, SIGTERM or SIGHUP (a dropped SSH session).
class BoardCommand {
public:
    BoardCommand(QCommandLineParser &parser, const QString &name, const QString &description)
        : m_parser(parser)
    {
        m_parser.clearPositionalArguments();
        m_parser.addPositionalArgument(name, description, name);
        m_parser.addPositionalArgument(QStringLiteral("port"),
            QStringLiteral("The port: a name as listed (ttyUSB0) or a path."),
            QStringLiteral("PORT"));
        m_parser.addPositionalArgument(
            QStringLiteral("file"), QStringLiteral("The \".nvr\" file."), QStringLiteral("FILE"));
        m_parser.addOption(m_quiet);
        m_parser.addOption(m_debug);
    }

    std::optional<int> parse(const QStringList &arguments)
    {
        if (const std::optional<int> status = parseCommand(m_parser, arguments))
            return status;
        if (m_parser.positionalArguments().size() != 3) {
            return usageError(QStringLiteral("%1 needs a port and a file, PORT and FILE")
                                  .arg(m_parser.positionalArguments().constFirst()));
        }
        return std::nullopt;
    }

    QString port() const { return m_parser.positionalArguments().at(1); }
    QString file() const { return m_parser.positionalArguments().at(2); }

    template <typename Command> int run(Command command)
    {
        struct sigaction action = {};
        action.sa_handler = noteStopSignal;
        sigemptyset(&action.sa_mask);
        for (const int signal : { SIGINT, SIGTERM, SIGHUP })
            sigaction(signal, &action, nullptr);
        if (!m_parser.isSet(m_debug))
            qInstallMessageHandler(dropDebugLines);
        QTextStream out(stdout);
        QTextStream err(stderr);
        BoardRun run;
        run.out = &out;
        run.err = &err;
        run.progress = !m_parser.isSet(m_quiet) && ::isatty(STDERR_FILENO);
        run.stopSignal = [] { return int(g_stopSignal); };
        return command(run);
    }

private:
    QCommandLineParser &m_parser;
    const QCommandLineOption m_quiet { QStringLiteral("quiet"),
        QStringLiteral("No progress line, also on a terminal.") };
    const QCommandLineOption m_debug { QStringLiteral("debug"),
        QStringLiteral("Print the exchange's debug lines on standard error.") };
};

const QString kBoardExitStatus = QStringLiteral(
    "SIGINT, SIGTERM and SIGHUP stop it between two exchanges, with exit status 128 plus the\n"
    "signal's number.");

int readCommand(QCommandLineParser &parser, const QStringList &arguments)
{
    parser.setApplicationDescription(
        QStringLiteral(
            "Reads every page of the board into FILE, as the window's read does: nothing is saved\n"
            "unless every page is in, and a file it replaces is kept as FILE~; both keep its\n"
            "permission bits. A device, pipe, socket or folder as FILE is refused before anything\n"
            "is sent.\n"
            "A page whose value or description holds \"|\", \"$\", \"%\" or NUL is saved as the\n"
            "board holds it, but the file cannot carry it back to the board: each is named.\n"
            "Exit status: 0 saved, 1 the board failed, or FILE was saved but cannot carry the\n"
            "named pages back, 2 trouble with the usage, port or file.\n")
        + kBoardExitStatus);
    BoardCommand command(parser, QStringLiteral("read"), QStringLiteral("Read the board."));
    if (const std::optional<int> status = command.parse(arguments))
        return *status;
    return command.run(
        [&](const BoardRun &run) { return ReadBoard(run, command.port(), command.file()); });
}

int verifyCommand(QCommandLineParser &parser, const QStringList &arguments)
{
    parser.setApplicationDescription(
        QStringLiteral(
            "Reads the board and compares it with FILE page by page: every page of the file whose\n"
            "value or description the board does not hold, then one count line. Pages on the "
            "board\n"
            "only are counted. The board's own text is compared, so a page that a file cannot\n"
            "carry (a \"|\" in it) differs from the file that a read saved.\n"
            "Exit status: 0 the same, 1 different, 2 trouble (a board that fails too).\n")
        + kBoardExitStatus);
    BoardCommand command(
        parser, QStringLiteral("verify"), QStringLiteral("Compare the board with a file."));
    const QCommandLineOption jsonOption(
        QStringLiteral("json"), QStringLiteral("Print the result as one JSON document."));
    parser.addOption(jsonOption);
    if (const std::optional<int> status = command.parse(arguments))
        return *status;
    return command.run([&](const BoardRun &run) {
        return VerifyBoard(run, command.port(), command.file(), parser.isSet(jsonOption));
    });
}

int writeCommand(QCommandLineParser &parser, const QStringList &arguments)
{
    parser.setApplicationDescription(
        QStringLiteral(
            "Reads FILE once, checks it as check does, then writes those bytes to the board\n"
            "as the window's write does, \"$24%\" last. A file that check marks \"refused\"\n"
            "is not sent: a \"$\", \"%\" or \"#\" in a field, characters outside Latin-1 or\n"
            "NUL, an empty field, a page text other than the read writes, a page 0000 value\n"
            "other than plain digits, or no line to send. A BACKUP that is FILE, or whose\n"
            "BACKUP~ is, is refused.\n"
            "Exit status: 0 written (and verified), 1 a board problem or a page that differs,\n"
            "2 trouble.\n")
        + kBoardExitStatus);
    BoardCommand command(parser, QStringLiteral("write"), QStringLiteral("Write a file."));
    const QCommandLineOption backupOption(QStringLiteral("backup"),
        QStringLiteral("First read the board into BACKUP, as read does; nothing is written "
                       "unless that read is saved and can carry every page back."),
        QStringLiteral("BACKUP"));
    const QCommandLineOption verifyOption(QStringLiteral("verify"),
        QStringLiteral("Then read the board back and print every page that differs."));
    const QCommandLineOption forceOption(
        QStringLiteral("force"), QStringLiteral("Send a file that check refuses."));
    parser.addOptions({ backupOption, verifyOption, forceOption });
    if (const std::optional<int> status = command.parse(arguments))
        return *status;
    WriteOptions options;
    options.backup = parser.value(backupOption);
    options.verify = parser.isSet(verifyOption);
    options.force = parser.isSet(forceOption);
    return command.run([&](const BoardRun &run) {
        return WriteBoard(run, command.port(), command.file(), options);
    });
}

int run(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Checks parameter files before they go to a board, compares two backups, and reads,\n"
        "writes and verifies a board.\n"
        "Commands:\n"
        "  check FILE...      what the write would send, and what would go wrong\n"
        "  diff OLD NEW       pages added, removed and changed between two backups\n"
        "  ports              the serial ports, and the program that holds each\n"
        "  read PORT FILE     every page of the board into FILE\n"
        "  write PORT FILE    FILE to the board, with --backup and --verify\n"
        "  verify PORT FILE   the pages where the board differs from FILE\n"
        "riz-nvr COMMAND --help tells more about a command; -- ends the options, for a file\n"
        "whose name starts with \"-\"."));
    // "-old.nvr" is then one unknown option, not -o -l -d with a -v for the version among them.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("command"),
        QStringLiteral("check, diff, ports, read, write or verify."), QStringLiteral("COMMAND"));
    // The command's own options are not known yet: errors count only once they are.
    parser.parse(arguments);
    const QString command = parser.positionalArguments().value(0);
    if (command == QStringLiteral("check"))
        return check(parser, arguments);
    if (command == QStringLiteral("diff"))
        return diff(parser, arguments);
    if (command == QStringLiteral("ports"))
        return ports(parser, arguments);
    if (command == QStringLiteral("read"))
        return readCommand(parser, arguments);
    if (command == QStringLiteral("write"))
        return writeCommand(parser, arguments);
    if (command == QStringLiteral("verify"))
        return verifyCommand(parser, arguments);
    if (const std::optional<int> status = parseCommand(parser, arguments))
        return *status;
    return usageError(command.isEmpty()
            ? QStringLiteral("no command given")
            : QStringLiteral("unknown command %1").arg(EscapedText(command)));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("riz-nvr"));
    QCoreApplication::setApplicationVersion(kVersion);

    const int status = run(QCoreApplication::arguments());
    // A result that did not reach its reader (a full disk, say) is no result.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        tell(QStringLiteral("cannot write the result"));
        return kExitTrouble;
    }
    return status;
}
