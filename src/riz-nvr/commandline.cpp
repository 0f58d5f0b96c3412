// What every subcommand of riz-nvr shares.
#include "commandline.h"

#include "nvram/nvrformat.h"
#include "nvrtext.h"

#include <QBuffer>
#include <QCommandLineParser>

#include <cstdio>

QString ExitStatusText(const QList<QPair<int, QString>> &statuses)
{
    QStringList parts;
    for (const auto &[status, meaning] : statuses)
        parts << QString::number(status) + QLatin1Char(' ') + meaning;
    return QStringLiteral("Exit status: ") + parts.join(QStringLiteral(", ")) + QLatin1Char('.');
}

void DescribeSubcommand(
    const Subcommand &command, QCommandLineParser &parser, const QString &description)
{
    parser.setApplicationDescription(description);
    parser.clearPositionalArguments();
    parser.addPositionalArgument(command.name, command.summary, command.name);
}

// process() is not used: it ends an unknown option with status 1, which here means findings.
std::optional<int> ParseCommandLine(QCommandLineParser &parser, const QStringList &arguments)
{
    if (!parser.parse(arguments))
        return UsageError(EscapedText(parser.errorText()));
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(kExitClean);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    return std::nullopt;
}

void Tell(const QString &message)
{
    std::fputs(qPrintable(QStringLiteral("riz-nvr: ") + message + QLatin1Char('\n')), stderr);
}

int UsageError(const QString &message)
{
    Tell(message);
    Tell(QStringLiteral("try 'riz-nvr --help'"));
    return kExitTrouble;
}

void WriteOut(const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
}

bool ReadOrTell(const QString &name, QBuffer &buffer)
{
    const NvrFileContents contents = ReadNvrFile(name);
    if (!contents.error.isEmpty()) {
        Tell(CannotReadText(name, contents.error));
        return false;
    }
    buffer.setData(contents.bytes);
    return buffer.open(QIODevice::ReadOnly);
}
