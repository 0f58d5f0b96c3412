// What the write refuses to send: a file that the board would not hold as it says.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

struct NvrParameter;

struct NvrFinding {
    int lineNumber = 0; // 0: about the whole file
    QString reason;
    // The board would hold something other than what the file says, or could not be read back:
    // the write refuses the file.
    bool refusesWrite = false;
};

// "FILE:LINE: reason", or "FILE: reason" for the whole file, with "refused: " before the reason
// of a finding that refuses the write; control characters in the name escaped.
QString FindingText(const QString &fileName, const NvrFinding &finding);

// The rule, applied to the lines of one file in order.
class WriteRule {
public:
    // Why the board would not hold this line as the file says it; empty when it would. Only for
    // lines the write sends: one too long for a command is left out, not refused.
    QStringList refusals(const NvrParameter &parameter);
    // Once the last line is passed: why the file as a whole is refused.
    QStringList fileRefusals() const;

private:
    bool m_lineSent = false;
    bool m_nulFound = false; // told once: a file saved as UTF-16 has NUL bytes on every line
};

// What the write refuses in a file: its first refusals, in line order, and how many there are.
struct WriteRefusals {
    QList<NvrFinding> first;
    qint64 count = 0;
};

WriteRefusals FindWriteRefusals(const QByteArray &file, int kept);
