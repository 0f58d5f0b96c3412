// What the transfer suites share, without a window: short link timings, the link opened on the
// simulated board, files in a test's folder, and the debug lines a transfer writes.
#pragma once

#include "boardsim.h"
#include "link/timings.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

class SerialLink;

// A silent board costs a fraction of a second, while the simulator still answers well inside
// every window, under the sanitizers too.
LinkTimings shortTimings();

bool openLink(SerialLink &link, const CtlBoardSim &board);

QByteArray fileBytes(const QString &path);
// Setting up a test's folder cannot fail short of a broken machine; the run stops if it does.
void writeTestFile(const QString &path, const QByteArray &bytes);

// The header and the first pageCount pages of table, as the read writes them.
QByteArray expectedNvrFile(const QList<BoardParameter> &table, int pageCount);

// Collects the debug lines written while it lives; they are not printed.
class DebugLines {
public:
    DebugLines();
    ~DebugLines();
    DebugLines(const DebugLines &) = delete;
    DebugLines &operator=(const DebugLines &) = delete;

    bool contains(const QString &line) const;

private:
    QtMessageHandler m_previous;
};
