// The command-line options that both simulated-board front ends share: table, timing and faults.
#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QString>

class CtlBoardSim;

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

// Bytes from a command-line text: Latin-1 characters as they are, and the escapes \r, \n, \t,
// \xNN and a doubled backslash; false for anything else.
bool bytesFromEscapedText(const QString &text, QByteArray &bytes);
