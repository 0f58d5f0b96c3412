// What every subcommand of riz-nvr shares: its entry in the table, the exit statuses, the parsing
// of its command line, and where it tells the user.
#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <optional>

class QBuffer;
class QCommandLineParser;

// Exit statuses of every subcommand, as diff(1) has them: 2 is trouble, whatever else was found;
// a stop by a signal ends with 128 + its number.
constexpr int kExitClean = 0;
constexpr int kExitFindings = 1;
constexpr int kExitTrouble = 2;
constexpr int kExitSignalBase = 128;

struct Subcommand;
using SubcommandHandler
    = int (*)(const Subcommand &command, QCommandLineParser &parser, const QStringList &arguments);

// One entry of riz-nvr's table: the program's help and its dispatch are made from the table.
struct Subcommand {
    QString name;
    QString usage; // "check FILE...": the name and its arguments
    QString summary; // what it does, in a few words
    SubcommandHandler run;
};

// "Exit status: 0 nothing found, 1 findings, 2 a file cannot be read.", from the constants.
QString ExitStatusText(const QList<QPair<int, QString>> &statuses);

// Starts a subcommand's help: its description, then its name as the first positional argument.
void DescribeSubcommand(
    const Subcommand &command, QCommandLineParser &parser, const QString &description);

// Returns the usage error, if any; otherwise shows help or version and exits when asked for.
std::optional<int> ParseCommandLine(QCommandLineParser &parser, const QStringList &arguments);

// "riz-nvr: " + message on standard error.
void Tell(const QString &message);
// Tells message and where help is, and returns kExitTrouble.
int UsageError(const QString &message);
// The result on standard output, as it is.
void WriteOut(const QByteArray &bytes);

// Holds the whole file in buffer, open for reading; tells why not when it cannot be read.
bool ReadOrTell(const QString &name, QBuffer &buffer);
