// What both simulated-board front ends share: their command-line options and the replug.
#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QString>

#include <functional>

class CtlBoardSim;
class QObject;

// The table options: --pages, --load, --save-on-end.
struct BoardTableOptions {
    BoardTableOptions();
    QList<QCommandLineOption> all() const { return { pages, load, saveOnEnd }; }
    // Fills the table and sets the save-on-end file; returns an error message, empty on success.
    QString apply(CtlBoardSim &sim, const QCommandLineParser &parser) const;

    QCommandLineOption pages;
    QCommandLineOption load;
    QCommandLineOption saveOnEnd;
};

// The timing and fault options, one for each failure the service tool has to handle.
struct BoardFaultOptions {
    BoardFaultOptions();
    QList<QCommandLineOption> all() const;
    // Sets the knobs; returns an error message, empty on success. The page answers are built from
    // the table as it is now, so the table options go first.
    QString apply(CtlBoardSim &sim, const QCommandLineParser &parser) const;

    QCommandLineOption latency;
    QCommandLineOption pace;
    QCommandLineOption trickle;
    QCommandLineOption silent;
    QCommandLineOption silentAfter;
    QCommandLineOption silentEvery;
    QCommandLineOption stallAfter;
    QCommandLineOption shortAnswer;
    QCommandLineOption overlongAnswer;
    QCommandLineOption lineBreak;
    QCommandLineOption junk;
    QCommandLineOption trailing;
    QCommandLineOption hangUpAfter;
};

// Both sets, listed and applied in the order both front ends use.
struct BoardOptions {
    QList<QCommandLineOption> all() const { return table.all() + faults.all(); }
    QString apply(CtlBoardSim &sim, const QCommandLineParser &parser) const
    {
        const QString error = table.apply(sim, parser);
        return error.isEmpty() ? faults.apply(sim, parser) : error;
    }

    BoardTableOptions table;
    BoardFaultOptions faults;
};

// Bytes from a command-line text: Latin-1 characters as they are, and the escapes \r, \n, \t,
// \xNN and a doubled backslash; false for anything else.
bool bytesFromEscapedText(const QString &text, QByteArray &bytes);

// Long enough to see the program notice the lost line, short enough not to wait for.
constexpr int kPlugBackInDelayMs = 3000;

// Once the board has dropped the line, plugs it back in after delayMs: serves on a fresh pty and
// points linkPath (if not empty) at it, so that the program can connect again. Runs on context's
// thread for as long as context lives; report gets one line for each step.
void plugBackInAfterHangUp(CtlBoardSim &sim, QObject *context, const QString &linkPath, int delayMs,
    const std::function<void(const QString &)> &report);
