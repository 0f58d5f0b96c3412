// The command lines of the subcommands that talk to the board, and how they run: the real
// timings, stdout and stderr, the progress line on a terminal only, the exchange's debug lines on
// request, and a stop on SIGINT, SIGTERM or SIGHUP (a dropped SSH session).
#include "boardcommandline.h"

#include "backupfolder.h"
#include "boardcommands.h"
#include "link/escapedtext.h"

#include <QCommandLineParser>
#include <QSysInfo>
#include <QTextStream>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

// Noticed between exchanges only, never waited on: a flag is all a handler needs to leave.
volatile std::sig_atomic_t g_stopSignal = 0;

void noteStopSignal(int signal) { g_stopSignal = signal; }

void dropDebugLines(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtDebugMsg)
        std::fputs(
            qPrintable(qFormatLogMessage(type, context, message) + QLatin1Char('\n')), stderr);
}

// The count of backups kept unless --keep says otherwise; the package's KEEP has it too.
constexpr int kDefaultBackupKeep = RIZ_BACKUP_KEEP;

// The argument after PORT: the file that a command reads, writes or compares, or the folder that
// backup saves in.
struct BoardTarget {
    QString name;
    QString description;
    QString syntax;
    QString kind; // "a file", for "read needs a port and a file"
};

const BoardTarget kFileTarget { QStringLiteral("file"), QStringLiteral("The \".nvr\" file."),
    QStringLiteral("FILE"), QStringLiteral("a file") };
const BoardTarget kFolderTarget { QStringLiteral("dir"),
    QStringLiteral("The folder the backups are saved in."), QStringLiteral("DIR"),
    QStringLiteral("a folder") };

// The options and arguments every board command has.
class BoardCommand {
public:
    BoardCommand(const Subcommand &command, QCommandLineParser &parser, const QString &description,
        const BoardTarget &target = kFileTarget)
        : m_parser(parser)
        , m_target(target)
    {
        DescribeSubcommand(command, parser,
            description
                + QStringLiteral("\nSIGINT, SIGTERM and SIGHUP stop it between two exchanges, with "
                                 "exit status %1 plus the\nsignal's number.")
                      .arg(kExitSignalBase));
        m_parser.addPositionalArgument(QStringLiteral("port"),
            QStringLiteral("The port: a name as listed (ttyUSB0) or a path."),
            QStringLiteral("PORT"));
        m_parser.addPositionalArgument(m_target.name, m_target.description, m_target.syntax);
        m_parser.addOption(m_quiet);
        m_parser.addOption(m_debug);
    }

    std::optional<int> parse(const QStringList &arguments)
    {
        if (const std::optional<int> status = ParseCommandLine(m_parser, arguments))
            return status;
        if (m_parser.positionalArguments().size() != 3) {
            return UsageError(QStringLiteral("%1 needs a port and %2, PORT and %3")
                                  .arg(m_parser.positionalArguments().constFirst(), m_target.kind,
                                      m_target.syntax));
        }
        // As systemd passes a variable that is not set: no port may be opened by that name.
        if (port().isEmpty())
            return UsageError(QStringLiteral("PORT is empty: give the board's port (riz-nvr ports "
                                             "lists the ports)"));
        if (target().isEmpty())
            return UsageError(QStringLiteral("%1 is empty").arg(m_target.syntax));
        return std::nullopt;
    }

    QString port() const { return m_parser.positionalArguments().at(1); }
    QString target() const { return m_parser.positionalArguments().at(2); }

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
    const BoardTarget &m_target;
    const QCommandLineOption m_quiet { QStringLiteral("quiet"),
        QStringLiteral("No progress line, also on a terminal.") };
    const QCommandLineOption m_debug { QStringLiteral("debug"),
        QStringLiteral("Print the exchange's debug lines on standard error.") };
};

} // namespace

int ReadCommand(const Subcommand &command, QCommandLineParser &parser, const QStringList &arguments)
{
    BoardCommand board(command, parser,
        QStringLiteral(
            "Reads every page of the board into FILE, as the window's read does: nothing is saved\n"
            "unless every page is in, and a file it replaces is kept as FILE~; both keep its\n"
            "permission bits. A device, pipe, socket or folder as FILE is refused before anything\n"
            "is sent.\n"
            "A page whose value or description holds \"|\", \"$\", \"%\" or NUL is saved as the\n"
            "board holds it, but the file cannot carry it back to the board: each is named.\n")
            + ExitStatusText({ { kExitClean, QStringLiteral("saved") },
                { kExitFindings,
                    QStringLiteral("the board failed, or FILE was saved but cannot carry the\n"
                                   "named pages back") },
                { kExitTrouble, QStringLiteral("trouble with the usage, port or file") } }));
    if (const std::optional<int> status = board.parse(arguments))
        return *status;
    return board.run(
        [&](const BoardRun &run) { return ReadBoard(run, board.port(), board.target()); });
}

int VerifyCommand(
    const Subcommand &command, QCommandLineParser &parser, const QStringList &arguments)
{
    BoardCommand board(command, parser,
        QStringLiteral(
            "Reads the board and compares it with FILE page by page: every page of the file whose\n"
            "value or description the board does not hold, then one count line. Pages on the\n"
            "board only are counted. The board's own text is compared, so a page that a file\n"
            "cannot carry (a \"|\" in it) differs from the file that a read saved.\n")
            + ExitStatusText({ { kExitClean, QStringLiteral("the same") },
                { kExitFindings, QStringLiteral("different") },
                { kExitTrouble, QStringLiteral("trouble (a board that fails too)") } }));
    const QCommandLineOption jsonOption(
        QStringLiteral("json"), QStringLiteral("Print the result as one JSON document."));
    parser.addOption(jsonOption);
    if (const std::optional<int> status = board.parse(arguments))
        return *status;
    return board.run([&](const BoardRun &run) {
        return VerifyBoard(run, board.port(), board.target(), parser.isSet(jsonOption));
    });
}

int WriteCommand(
    const Subcommand &command, QCommandLineParser &parser, const QStringList &arguments)
{
    BoardCommand board(command, parser,
        QStringLiteral(
            "Reads FILE once, checks it as check does, then writes those bytes to the board\n"
            "as the window's write does, \"$24%\" last. A file that check marks \"refused\"\n"
            "is not sent: a \"$\", \"%\" or \"#\" in a field, characters outside Latin-1 or\n"
            "NUL, an empty field, a page text other than the read writes, a page 0000 value\n"
            "other than plain digits, or no line to send. A BACKUP that is FILE, or whose\n"
            "BACKUP~ is, is refused.\n")
            + ExitStatusText({ { kExitClean, QStringLiteral("written (and verified)") },
                { kExitFindings, QStringLiteral("a board problem or a page that differs") },
                { kExitTrouble, QStringLiteral("trouble") } }));
    const QCommandLineOption backupOption(QStringLiteral("backup"),
        QStringLiteral("First read the board into BACKUP, as read does; nothing is written "
                       "unless that read is saved and can carry every page back."),
        QStringLiteral("BACKUP"));
    const QCommandLineOption verifyOption(QStringLiteral("verify"),
        QStringLiteral("Then read the board back and print every page that differs."));
    const QCommandLineOption forceOption(
        QStringLiteral("force"), QStringLiteral("Send a file that check refuses."));
    parser.addOptions({ backupOption, verifyOption, forceOption });
    if (const std::optional<int> status = board.parse(arguments))
        return *status;
    WriteOptions options;
    options.backup = parser.value(backupOption);
    options.verify = parser.isSet(verifyOption);
    options.force = parser.isSet(forceOption);
    return board.run([&](const BoardRun &run) {
        return WriteBoard(run, board.port(), board.target(), options);
    });
}

int BackupCommand(
    const Subcommand &command, QCommandLineParser &parser, const QStringList &arguments)
{
    BoardCommand board(command, parser,
        QStringLiteral(
            "Reads every page of the board as read does, all or nothing, into a new file in\n"
            "DIR named PREFIX-YYYY-MM-DDTHHMMSSZ.nvr, the time in UTC, so that the newest\n"
            "backup has the greatest name. When the newest backup of PREFIX holds the same\n"
            "bytes, no file is made: it says \"unchanged since\" that file. After a new backup,\n"
            "the oldest of PREFIX beyond --keep are removed: only regular files named so, never\n"
            "a link, never the newest. Anything else in DIR is left alone. A backup of the same\n"
            "name, made in the same second, is never replaced: that is trouble. One line on\n"
            "standard output says what happened. The package's riz-nvr-backup.service runs it\n"
            "every night.\n")
            + ExitStatusText({ { kExitClean, QStringLiteral("saved or unchanged") },
                { kExitFindings,
                    QStringLiteral("the board failed, or the backup cannot carry the\nnamed "
                                   "pages back") },
                { kExitTrouble,
                    QStringLiteral("trouble with the usage, port or folder (also a backup saved "
                                   "while\nan old one cannot be removed)") } }),
        kFolderTarget);
    const QCommandLineOption keepOption(QStringLiteral("keep"),
        QStringLiteral("Keep the newest N backups of PREFIX (default %1).").arg(kDefaultBackupKeep),
        QStringLiteral("N"));
    const QCommandLineOption prefixOption(QStringLiteral("prefix"),
        QStringLiteral("Start the names with NAME (default: the host name)."),
        QStringLiteral("NAME"));
    parser.addOptions({ keepOption, prefixOption });
    if (const std::optional<int> status = board.parse(arguments))
        return *status;
    BackupOptions options;
    options.keep = kDefaultBackupKeep;
    if (parser.isSet(keepOption)) {
        bool ok = false;
        options.keep = parser.value(keepOption).toInt(&ok);
        if (!ok || options.keep < 1) {
            return UsageError(QStringLiteral("--keep needs a number of at least 1, not %1")
                                  .arg(QuotedText(parser.value(keepOption))));
        }
    }
    options.prefix
        = parser.isSet(prefixOption) ? parser.value(prefixOption) : QSysInfo::machineHostName();
    const QString problem = BackupPrefixProblem(options.prefix);
    if (!problem.isEmpty())
        return UsageError(problem);
    options.time = QDateTime::currentDateTimeUtc();
    return board.run([&](const BoardRun &run) {
        return BackupBoard(run, board.port(), board.target(), options);
    });
}
