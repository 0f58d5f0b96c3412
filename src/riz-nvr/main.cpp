// riz-nvr: checks parameter files before they go to a board, and compares two backups.
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

#include <cstdio>
#include <optional>

namespace {

// Exit status, as diff(1) has it: 2 is trouble, whatever else was found.
constexpr int kClean = 0;
constexpr int kFindings = 1;
constexpr int kTrouble = 2;

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
    return kTrouble;
}

// Returns the usage error, if any; otherwise shows help or version and exits when asked for.
// process() is not used: it ends an unknown option with status 1, which here means findings.
std::optional<int> parseCommand(QCommandLineParser &parser, const QStringList &arguments)
{
    if (!parser.parse(arguments))
        return usageError(EscapedText(parser.errorText()));
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(kClean);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    return std::nullopt;
}

// Holds the whole file in buffer, open for reading; tells why not when it cannot be read.
bool readOrTell(const QString &name, QBuffer &buffer)
{
    const NvrFileContents contents = ReadNvrFile(name);
    if (!contents.error.isEmpty()) {
        tell(QStringLiteral("cannot read %1: %2").arg(EscapedText(name), contents.error));
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
        "line; the board's answers are not counted) and every finding as FILE:LINE: reason.\n"
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

    int status = kClean;
    for (const QString &name : files) {
        QBuffer file;
        if (!readOrTell(name, file)) {
            status = kTrouble;
            continue;
        }
        const NvrCheck result = CheckNvrFile(&file);
        writeOut(CheckReport(name, result, parser.isSet(commandsOption)));
        if (!result.findings.isEmpty() && status == kClean)
            status = kFindings;
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
            return kTrouble;
        backups[i] = ReadNvrBackup(&file);
        if (!backups[i].trouble.isEmpty()) {
            tell(QStringLiteral("%1:%2: %3: cannot compare")
                     .arg(EscapedText(files.at(i)), QString::number(backups[i].troubleLine),
                         backups[i].trouble));
            return kTrouble;
        }
    }
    const NvrDiff result = DiffNvrBackups(backups[0], backups[1]);
    writeOut(parser.isSet(jsonOption) ? DiffJson(result) : DiffText(result));
    return result.isEmpty() ? kClean : kFindings;
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
    return kClean;
}

int run(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Checks parameter files before they go to a board, and compares two backups.\n"
        "Commands:\n"
        "  check FILE...   what the write would send, and what would go wrong\n"
        "  diff OLD NEW    pages added, removed and changed between two backups\n"
        "  ports           the serial ports, and the program that holds each\n"
        "riz-nvr COMMAND --help tells more about a command; -- ends the options, for a file\n"
        "whose name starts with \"-\"."));
    // "-old.nvr" is then one unknown option, not -o -l -d with a -v for the version among them.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("check, diff or ports."),
        QStringLiteral("COMMAND"));
    // The command's own options are not known yet: errors count only once they are.
    parser.parse(arguments);
    const QString command = parser.positionalArguments().value(0);
    if (command == QStringLiteral("check"))
        return check(parser, arguments);
    if (command == QStringLiteral("diff"))
        return diff(parser, arguments);
    if (command == QStringLiteral("ports"))
        return ports(parser, arguments);
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
        return kTrouble;
    }
    return status;
}
