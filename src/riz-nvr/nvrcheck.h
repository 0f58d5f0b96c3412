// Checking a parameter file against what the write would make of it.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

class QIODevice;

struct NvrFinding {
    int lineNumber = 0; // 0: about the whole file
    QString reason;
    // The write would send something other than what the file says, or leave a board that
    // cannot be read back: it is refused unless forced.
    bool refusesWrite = false;
};

struct NvrCheck {
    int linesToSend = 0;
    QStringList commands; // as the write sends them, "$24%" last
    QList<NvrFinding> findings; // in line order, those about the whole file last
};

// Walks the file as the write does and notes what would go wrong or differ from the file.
NvrCheck CheckNvrFile(QIODevice *device);

// Bytes the commands take on the wire.
qint64 WireBytes(const QStringList &commands);

// "name: 3 lines to send, 7 commands, 85 bytes, 0.01 s at 57600 baud", then one
// "name:line: reason" per finding, then, with commands, each command's length and wire bytes,
// control characters escaped.
QByteArray CheckReport(const QString &fileName, const NvrCheck &check, bool withCommands);
