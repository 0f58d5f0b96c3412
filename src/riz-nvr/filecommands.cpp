// The subcommands that work on files alone: check and diff.
#include "filecommands.h"

#include "link/frame.h"
#include "nvrcheck.h"
#include "nvrdiff.h"

#include <QBuffer>
#include <QCommandLineParser>

int CheckCommand(
    const Subcommand &command, QCommandLineParser &parser, const QStringList &arguments)
{
    DescribeSubcommand(command, parser,
        QStringLiteral(
            "Walks each parameter file exactly as the write to a board would and prints a summary\n"
            "(lines to send, commands, bytes, and the time the commands take on a %1 baud 8N1\n"
            "line; the board's answers are not counted) and every finding as FILE:LINE: reason,\n"
            "\"refused: \" before the reason where the write would refuse the file.\n")
                .arg(kBaudRate)
            + ExitStatusText({ { kExitClean, QStringLiteral("nothing found") },
                { kExitFindings, QStringLiteral("findings") },
                { kExitTrouble, QStringLiteral("a file cannot be read") } }));
    parser.addPositionalArgument(QStringLiteral("files"),
        QStringLiteral("The \".nvr\" files to check."), QStringLiteral("FILE..."));
    const QCommandLineOption commandsOption(QStringLiteral("commands"),
        QStringLiteral("Also print every command as it goes on the wire, after its length."));
    parser.addOption(commandsOption);
    if (const std::optional<int> status = ParseCommandLine(parser, arguments))
        return *status;
    const QStringList files = parser.positionalArguments().mid(1);
    if (files.isEmpty())
        return UsageError(QStringLiteral("check needs at least one file"));

    int status = kExitClean;
    for (const QString &name : files) {
        QBuffer file;
        if (!ReadOrTell(name, file)) {
            status = kExitTrouble;
            continue;
        }
        if (CheckReport(name, &file, parser.isSet(commandsOption), WriteOut)
            && status == kExitClean)
            status = kExitFindings;
    }
    return status;
}

int DiffCommand(const Subcommand &command, QCommandLineParser &parser, const QStringList &arguments)
{
    DescribeSubcommand(command, parser,
        QStringLiteral(
            "Compares two backups page by page: pages added and removed, values and descriptions\n"
            "changed, then one count line. A page twice in one file cannot be compared.\n")
            + ExitStatusText({ { kExitClean, QStringLiteral("the same") },
                { kExitFindings, QStringLiteral("different") },
                { kExitTrouble, QStringLiteral("trouble") } }));
    parser.addPositionalArgument(
        QStringLiteral("old"), QStringLiteral("The earlier backup."), QStringLiteral("OLD"));
    parser.addPositionalArgument(
        QStringLiteral("new"), QStringLiteral("The later backup."), QStringLiteral("NEW"));
    const QCommandLineOption jsonOption(
        QStringLiteral("json"), QStringLiteral("Print the result as one JSON document."));
    parser.addOption(jsonOption);
    if (const std::optional<int> status = ParseCommandLine(parser, arguments))
        return *status;
    const QStringList files = parser.positionalArguments().mid(1);
    if (files.size() != 2)
        return UsageError(QStringLiteral("diff needs two files, OLD and NEW"));

    NvrBackup backups[2];
    for (int i = 0; i < 2; ++i) {
        QBuffer file;
        if (!ReadOrTell(files.at(i), file))
            return kExitTrouble;
        backups[i] = ReadNvrBackup(&file);
        if (!backups[i].trouble.isEmpty()) {
            Tell(BackupTroubleText(files.at(i), backups[i]));
            return kExitTrouble;
        }
    }
    const NvrDiff result = DiffNvrBackups(backups[0], backups[1]);
    WriteOut(parser.isSet(jsonOption) ? DiffJson(result) : DiffText(result));
    return result.isEmpty() ? kExitClean : kExitFindings;
}
