// riz-nvr: checks parameter files before they go to a board, compares two backups, lists the
// serial ports, and reads, writes, verifies and backs up a board.
#include "boardcommandline.h"
#include "commandline.h"
#include "filecommands.h"
#include "link/escapedtext.h"
#include "nvram/version.h"
#include "ports.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace {

const QList<Subcommand> &subcommands()
{
    static const QList<Subcommand> table {
        { QStringLiteral("check"), QStringLiteral("check FILE..."),
            QStringLiteral("what the write would send, and what would go wrong"), CheckCommand },
        { QStringLiteral("diff"), QStringLiteral("diff OLD NEW"),
            QStringLiteral("pages added, removed and changed between two backups"), DiffCommand },
        { QStringLiteral("ports"), QStringLiteral("ports"),
            QStringLiteral("the serial ports, and the program that holds each"), PortsCommand },
        { QStringLiteral("read"), QStringLiteral("read PORT FILE"),
            QStringLiteral("every page of the board into FILE"), ReadCommand },
        { QStringLiteral("write"), QStringLiteral("write PORT FILE"),
            QStringLiteral("FILE to the board, with --backup and --verify"), WriteCommand },
        { QStringLiteral("verify"), QStringLiteral("verify PORT FILE"),
            QStringLiteral("the pages where the board differs from FILE"), VerifyCommand },
        { QStringLiteral("backup"), QStringLiteral("backup PORT DIR"),
            QStringLiteral("the board into DIR when it changed, the oldest pruned"),
            BackupCommand },
    };
    return table;
}

QString programDescription()
{
    constexpr int kUsageWidth = 19;
    QString text = QStringLiteral(
        "Checks parameter files before they go to a board, compares two backups, and reads,\n"
        "writes, verifies and backs up a board.\n"
        "Commands:\n");
    for (const Subcommand &command : subcommands())
        text += QStringLiteral("  ") + command.usage.leftJustified(kUsageWidth) + command.summary
            + QLatin1Char('\n');
    return text
        + QStringLiteral("riz-nvr COMMAND --help tells more about a command; -- ends the options, "
                         "for a file\nwhose name starts with \"-\".");
}

int run(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(programDescription());
    // "-old.nvr" is then one unknown option, not -o -l -d with a -v for the version among them.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addHelpOption();
    parser.addVersionOption();
    QStringList names;
    for (const Subcommand &command : subcommands())
        names << command.name;
    const QString last = names.takeLast();
    parser.addPositionalArgument(QStringLiteral("command"),
        names.join(QStringLiteral(", ")) + QStringLiteral(" or ") + last + QLatin1Char('.'),
        QStringLiteral("COMMAND"));
    // The command's own options are not known yet: errors count only once they are.
    parser.parse(arguments);
    const QString name = parser.positionalArguments().value(0);
    for (const Subcommand &command : subcommands()) {
        if (command.name == name)
            return command.run(command, parser, arguments);
    }
    if (const std::optional<int> status = ParseCommandLine(parser, arguments))
        return *status;
    return UsageError(name.isEmpty() ? QStringLiteral("no command given")
                                     : QStringLiteral("unknown command %1").arg(EscapedText(name)));
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
        Tell(QStringLiteral("cannot write the result"));
        return kExitTrouble;
    }
    return status;
}
