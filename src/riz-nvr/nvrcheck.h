// Checking a parameter file against what the write would make of it.
#pragma once

#include "nvram/writerule.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <functional>

class QIODevice;

// What the write would send of a file and what would go wrong. The file is walked again for
// each part of the report, so that nothing but its page numbers is kept: a report can be many
// times larger than the file.
class NvrCheck {
public:
    using FindingHandler = std::function<void(const NvrFinding &finding)>;
    using CommandHandler = std::function<void(const QString &command)>;

    // Walks the file once as the write does and counts what it would send. The device stays
    // open for the walks that follow.
    explicit NvrCheck(QIODevice *device);

    int linesToSend() const { return m_linesToSend; }
    qint64 commands() const { return m_commands; } // "$24%" included
    qint64 wireBytes() const { return m_wireBytes; }

    // Tells every finding in line order, those about the whole file last.
    void tellFindings(const FindingHandler &found) const;
    // Tells every command as the write sends it, "$24%" last.
    void tellCommands(const CommandHandler &command) const;

private:
    void noteLastPage();

    QIODevice *m_device;
    int m_linesToSend = 0;
    qint64 m_commands = 0;
    qint64 m_wireBytes = 0;
    QHash<int, int> m_pageLines; // page number -> first line
    int m_highestPage = 0;
    QString m_lastPageValue;
    int m_lastPageLine = 0; // the page 0000 line the board keeps
    QStringList m_lastPageFindings; // about that line, from the file's other pages
};

// Writes through out "name: 3 lines to send, 7 commands, 85 bytes, 0.01 s at 57600 baud", then
// one FindingText line per finding, then, with commands, each command's length and wire bytes,
// control characters escaped. Returns whether anything was found.
bool CheckReport(const QString &fileName, QIODevice *device, bool withCommands,
    const std::function<void(const QByteArray &)> &out);
