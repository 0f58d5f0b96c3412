// Checking a parameter file against what the write would make of it.
#include "nvrcheck.h"

#include "link/frame.h"
#include "nvram/nvrformat.h"
#include "nvrtext.h"

#include <QIODevice>
#include <QMap>

#include <algorithm>

namespace {

// The time on the wire counts the commands only: the board's answers and the time it takes
// to give them are its own and differ from board to board.
constexpr int kBitsPerByte = 10; // 8N1: start bit, eight data bits, stop bit

constexpr int kMissingPagesNamed = 3;

class Checker {
public:
    explicit Checker(NvrCheck &check)
        : m_check(check)
    {
    }

    void skippedLine(int lineNumber, const QString &line)
    {
        anyLine(lineNumber, line);
        if (lineNumber == 1) {
            const QStringList fields = SplitNvrFields(line);
            int page = 0;
            if (fields.size() >= 2 && PageTextToNumber(fields.first().trimmed(), &page))
                add(lineNumber,
                    QStringLiteral("the first line is page %1, not the header: the write drops it")
                        .arg(PageNumberToHex(page, 4)));
            return;
        }
        if (!line.trimmed().isEmpty())
            add(lineNumber, QStringLiteral("no \"|\" in the line: the write skips it"));
    }

    void parameterLine(const NvrParameter &parameter, const QString &line)
    {
        anyLine(parameter.lineNumber, line);
        const QStringList commands = ParameterWriteCommands(parameter);
        if (commands.isEmpty()) {
            add(parameter.lineNumber,
                QStringLiteral(
                    "too long for one command (over %1 characters): the line is not sent")
                    .arg(kMaxCommandBytes));
            return;
        }
        ++m_check.linesToSend;
        m_check.commands << commands;
        if (!parameter.hasDescription)
            add(parameter.lineNumber,
                QStringLiteral("two fields only: the value is written, no description"));
        // The board answers a question for an empty field with nothing, which a read takes
        // for a board that stopped answering.
        if (parameter.value.isEmpty()
            || (parameter.hasDescription && parameter.description.isEmpty()))
            refuse(parameter.lineNumber,
                QStringLiteral(
                    "the board will hold an empty field, and a read stops at this page"));
        if (SplitNvrFields(line).size() > 3)
            add(parameter.lineNumber,
                QStringLiteral("more than three fields (a \"|\" inside a value or description?): "
                               "what follows the third is not sent"));
        fieldCharacters(parameter.lineNumber, QStringLiteral("page"), parameter.pageText);
        fieldCharacters(parameter.lineNumber, QStringLiteral("value"), parameter.value);
        if (parameter.hasDescription)
            fieldCharacters(
                parameter.lineNumber, QStringLiteral("description"), parameter.description);
        outsideLatin1(parameter.lineNumber, commands.join(QString()));
        page(parameter);
    }

    void finish()
    {
        if (m_nulLine > 0)
            refuse(m_nulLine, QStringLiteral("NUL bytes in the file (saved as UTF-16?)"));
        if (m_carriageReturnLine > 0)
            add(m_carriageReturnLine,
                QStringLiteral("\"\\r\" inside a line: the write ends lines at \"\\n\" only and "
                               "sends the \"\\r\" as text"));
        lastPage();
        std::stable_sort(m_check.findings.begin(), m_check.findings.end(),
            [](const NvrFinding &a, const NvrFinding &b) { return a.lineNumber < b.lineNumber; });
        if (m_check.linesToSend == 0)
            m_check.findings << NvrFinding { 0, QStringLiteral("no line would be sent"), true };
        m_check.commands << kEndOfTransfer;
    }

private:
    void add(int lineNumber, const QString &reason)
    {
        m_check.findings << NvrFinding { lineNumber, reason };
    }

    void refuse(int lineNumber, const QString &reason)
    {
        m_check.findings << NvrFinding { lineNumber, reason, true };
    }

    // Reported once per file: a file saved in another encoding or with other line ends has the
    // fault on nearly every line.
    void anyLine(int lineNumber, const QString &line)
    {
        if (m_nulLine == 0 && line.contains(QChar(0)))
            m_nulLine = lineNumber;
        if (m_carriageReturnLine == 0 && line.contains(QLatin1Char('\r')))
            m_carriageReturnLine = lineNumber;
    }

    void fieldCharacters(int lineNumber, const QString &field, const QString &text)
    {
        if (text.contains(QLatin1Char('%')))
            refuse(lineNumber,
                QStringLiteral("\"%\" in the %1: the board ends the command there").arg(field));
        if (text.contains(QLatin1Char('#')))
            refuse(lineNumber,
                QStringLiteral("\"#\" in the %1: reading it back from the board stops there")
                    .arg(field));
    }

    void outsideLatin1(int lineNumber, const QString &text)
    {
        QList<char32_t> found;
        for (const char32_t c : text.toUcs4()) {
            if (c > 0xFF && !found.contains(c))
                found << c;
        }
        if (found.isEmpty())
            return;
        QStringList shown;
        for (const char32_t c : std::as_const(found))
            shown << QString::fromUcs4(&c, 1);
        refuse(lineNumber,
            QStringLiteral("characters outside Latin-1 go to the board as \"?\": %1")
                .arg(shown.join(QStringLiteral(" "))));
    }

    void page(const NvrParameter &parameter)
    {
        int number = 0;
        if (!PageTextToNumber(parameter.pageText, &number)) {
            add(parameter.lineNumber,
                QStringLiteral("page %1 is not four upper-case hexadecimal digits")
                    .arg(QuotedText(parameter.pageText)));
            return;
        }
        const auto earlier = m_pageLines.constFind(number);
        if (earlier != m_pageLines.cend()) {
            add(parameter.lineNumber,
                QStringLiteral("page %1 again (first on line %2): the board keeps the later line")
                    .arg(parameter.pageText)
                    .arg(earlier.value()));
        } else if (!m_pageLines.isEmpty() && number < m_highestPage) {
            add(parameter.lineNumber,
                QStringLiteral("page %1 after page %2: out of order")
                    .arg(parameter.pageText, PageNumberToHex(m_highestPage, 4)));
        }
        if (earlier == m_pageLines.cend())
            m_pageLines.insert(number, parameter.lineNumber);
        m_highestPage = std::max(m_highestPage, number);
        if (number == 0) {
            m_lastPageValue = parameter.value;
            m_lastPageLine = parameter.lineNumber;
        }
    }

    // Page 0 tells the board, and the read, which page is the last one.
    void lastPage()
    {
        if (m_lastPageLine == 0)
            return;
        bool ok = false;
        const int last = m_lastPageValue.toInt(&ok, 10);
        if (!ok || last < 0) {
            add(m_lastPageLine,
                QStringLiteral("page 0000 value %1 is not the number of the last page")
                    .arg(QuotedText(m_lastPageValue)));
            return;
        }
        const QString says = QStringLiteral("page 0000 gives the last page as %1 (value %2)")
                                 .arg(PageNumberToHex(last, 4), QString::number(last));
        if (m_highestPage > last)
            add(m_lastPageLine,
                says
                    + QStringLiteral(", but the file goes on to page %1")
                          .arg(PageNumberToHex(m_highestPage, 4)));
        QStringList missing;
        qint64 missingCount = 0;
        const auto noteMissing = [&](qint64 from, qint64 to) {
            missingCount += to - from;
            for (qint64 page = from; page < to && missing.size() < kMissingPagesNamed; ++page)
                missing << PageNumberToHex(int(page), 4);
        };
        qint64 expected = 0;
        for (auto it = m_pageLines.keyBegin(); it != m_pageLines.keyEnd() && *it <= last; ++it) {
            noteMissing(expected, *it);
            expected = qint64(*it) + 1;
        }
        noteMissing(expected, qint64(last) + 1);
        if (missingCount == 0)
            return;
        const QString named = missing.join(QStringLiteral(", "))
            + (missingCount > missing.size() ? QStringLiteral(", ...") : QString());
        add(m_lastPageLine,
            says
                + (missingCount == 1 ? QStringLiteral(", but page %1 is missing").arg(named)
                                     : QStringLiteral(", but %1 pages are missing: %2")
                                           .arg(missingCount)
                                           .arg(named)));
    }

    NvrCheck &m_check;
    int m_nulLine = 0;
    int m_carriageReturnLine = 0;
    QMap<int, int> m_pageLines; // page number -> first line
    int m_highestPage = 0;
    QString m_lastPageValue;
    int m_lastPageLine = 0;
};

} // namespace

NvrCheck CheckNvrFile(QIODevice *device)
{
    NvrCheck check;
    Checker checker(check);
    NvrLineReader reader(device,
        [&checker](int lineNumber, const QString &line) { checker.skippedLine(lineNumber, line); });
    NvrParameter parameter;
    while (reader.next(parameter))
        checker.parameterLine(parameter, reader.line());
    checker.finish();
    return check;
}

qint64 WireBytes(const QStringList &commands)
{
    qint64 bytes = 0;
    for (const QString &command : commands)
        bytes += CommandBytes(command, int(command.size())).size();
    return bytes;
}

QByteArray CheckReport(const QString &fileName, const NvrCheck &check, bool withCommands)
{
    const QString name = EscapedText(fileName);
    const qint64 bytes = WireBytes(check.commands);
    const double seconds = double(bytes) * kBitsPerByte / kBaudRate;
    QString text = QStringLiteral("%1: %2 to send, %3, %4, %5 s at %6 baud\n")
                       .arg(name, CountOf(check.linesToSend, QStringLiteral("line")),
                           CountOf(check.commands.size(), QStringLiteral("command")),
                           CountOf(bytes, QStringLiteral("byte")), QString::number(seconds, 'f', 2),
                           QString::number(kBaudRate));
    for (const NvrFinding &finding : check.findings) {
        text += finding.lineNumber > 0
            ? QStringLiteral("%1:%2: %3\n")
                  .arg(name, QString::number(finding.lineNumber), finding.reason)
            : QStringLiteral("%1: %2\n").arg(name, finding.reason);
    }
    QByteArray report = text.toUtf8();
    if (withCommands) {
        for (const QString &command : check.commands) {
            const QByteArray wire = CommandBytes(command, int(command.size()));
            // Escapes are ASCII, so every other byte is listed as it goes on the wire.
            report += QByteArray::number(wire.size()).rightJustified(4) + ' '
                + EscapedText(QString::fromLatin1(wire)).toLatin1() + '\n';
        }
    }
    return report;
}
