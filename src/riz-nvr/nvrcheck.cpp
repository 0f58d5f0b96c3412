// Checking a parameter file against what the write would make of it.
#include "nvrcheck.h"

#include "link/frame.h"
#include "nvram/nvrformat.h"
#include "nvrtext.h"

#include <QIODevice>

#include <algorithm>
#include <utility>

namespace {

// The time on the wire counts the commands only: the board's answers and the time it takes
// to give them are its own and differ from board to board.
constexpr int kBitsPerByte = 10; // 8N1: start bit, eight data bits, stop bit

constexpr int kMissingPagesNamed = 3;

qint64 commandWireBytes(const QString &command)
{
    return CommandBytes(command, int(command.size())).size();
}

// Hands each parameter line to line, with the commands the write sends for it (none for a line
// too long for one command), and each line the walk passes over to skipped.
template <typename Line>
void walk(QIODevice *device, NvrLineReader::SkippedLineHandler skipped, Line line)
{
    device->seek(0);
    NvrLineReader reader(device, std::move(skipped));
    NvrParameter parameter;
    while (reader.next(parameter))
        line(parameter, ParameterWriteCommands(parameter), reader.line());
}

// The findings of one walk, told as each line is passed.
class FindingWalk {
public:
    FindingWalk(const NvrCheck::FindingHandler &found, const QHash<int, int> &pageLines,
        int lastPageLine, const QStringList &lastPageFindings)
        : m_found(found)
        , m_pageLines(pageLines)
        , m_lastPageLine(lastPageLine)
        , m_lastPageFindings(lastPageFindings)
    {
    }

    void skippedLine(int lineNumber, const QString &line)
    {
        if (lineNumber == 1) {
            const QList<QStringView> fields = FirstNvrFields(line, 2);
            int page = 0;
            if (fields.size() >= 2
                && PageTextToNumber(fields.first().trimmed().toString(), &page)) {
                add(lineNumber,
                    QStringLiteral("the first line is page %1, not the header: the write drops it")
                        .arg(PageNumberToHex(page, kPageTextWidth)));
            }
        } else if (!QStringView(line).trimmed().isEmpty()) {
            add(lineNumber, QStringLiteral("no \"|\" in the line: the write skips it"));
        }
        carriageReturn(lineNumber, line);
    }

    void parameterLine(
        const NvrParameter &parameter, const QStringList &commands, const QString &line)
    {
        if (commands.isEmpty()) {
            add(parameter.lineNumber,
                QStringLiteral(
                    "too long for one command (over %1 characters): the line is not sent")
                    .arg(kMaxCommandBytes));
        } else {
            if (!parameter.hasDescription)
                add(parameter.lineNumber,
                    QStringLiteral("two fields only: the value is written, no description"));
            for (const QString &reason : m_rule.refusals(parameter))
                m_found(NvrFinding { parameter.lineNumber, reason, true });
            bool more = false;
            FirstNvrFields(line, 3, &more);
            if (more)
                add(parameter.lineNumber,
                    QStringLiteral("more than three fields (a \"|\" inside a value or "
                                   "description?): what follows the third is not sent"));
            page(parameter);
        }
        carriageReturn(parameter.lineNumber, line);
        if (parameter.lineNumber == m_lastPageLine) {
            for (const QString &reason : m_lastPageFindings)
                add(parameter.lineNumber, reason);
        }
    }

    void finish()
    {
        for (const QString &reason : m_rule.fileRefusals())
            m_found(NvrFinding { 0, reason, true });
    }

private:
    void add(int lineNumber, const QString &reason) { m_found(NvrFinding { lineNumber, reason }); }

    // Told once per file: a file saved with other line ends has it on nearly every line.
    void carriageReturn(int lineNumber, const QString &line)
    {
        if (m_carriageReturnFound || !line.contains(QLatin1Char('\r')))
            return;
        m_carriageReturnFound = true;
        add(lineNumber,
            QStringLiteral("\"\\r\" inside a line: the write ends lines at \"\\n\" only and "
                           "sends the \"\\r\" as text"));
    }

    void page(const NvrParameter &parameter)
    {
        int number = 0;
        if (!PageTextToNumber(parameter.pageText, &number))
            return;
        const int first = m_pageLines.value(number);
        if (first != parameter.lineNumber) {
            add(parameter.lineNumber,
                QStringLiteral("page %1 again (first on line %2): the board keeps the later line")
                    .arg(parameter.pageText)
                    .arg(first));
        } else if (m_anyPage && number < m_highestPage) {
            add(parameter.lineNumber,
                QStringLiteral("page %1 after page %2: out of order")
                    .arg(parameter.pageText, PageNumberToHex(m_highestPage, kPageTextWidth)));
        }
        m_anyPage = true;
        m_highestPage = std::max(m_highestPage, number);
    }

    const NvrCheck::FindingHandler &m_found;
    const QHash<int, int> &m_pageLines;
    const int m_lastPageLine;
    const QStringList &m_lastPageFindings;
    WriteRule m_rule;
    bool m_carriageReturnFound = false;
    bool m_anyPage = false;
    int m_highestPage = 0;
};

} // namespace

NvrCheck::NvrCheck(QIODevice *device)
    : m_device(device)
{
    walk(device, {},
        [this](const NvrParameter &parameter, const QStringList &commands, const QString &) {
            if (commands.isEmpty())
                return;
            ++m_linesToSend;
            m_commands += commands.size();
            for (const QString &command : commands)
                m_wireBytes += commandWireBytes(command);
            int number = 0;
            if (!PageTextToNumber(parameter.pageText, &number))
                return;
            m_pageLines.insert(number, m_pageLines.value(number, parameter.lineNumber));
            m_highestPage = std::max(m_highestPage, number);
            if (number == 0) {
                m_lastPageValue = parameter.value;
                m_lastPageLine = parameter.lineNumber;
            }
        });
    ++m_commands;
    m_wireBytes += commandWireBytes(kEndOfTransfer);
    noteLastPage();
}

// Page 0 tells the board, and the read, which page is the last one. A value that the read
// would not take is refused by the write's rule.
void NvrCheck::noteLastPage()
{
    int last = 0;
    if (m_lastPageLine == 0 || !LastPageFromValue(m_lastPageValue, &last))
        return;
    const QString says = QStringLiteral("page 0000 gives the last page as %1 (value %2)")
                             .arg(PageNumberToHex(last, kPageTextWidth), QString::number(last));
    if (m_highestPage > last)
        m_lastPageFindings << says
                + QStringLiteral(", but the file goes on to page %1")
                      .arg(PageNumberToHex(m_highestPage, kPageTextWidth));
    QList<int> pages = m_pageLines.keys();
    std::sort(pages.begin(), pages.end());
    QStringList missing;
    qint64 missingCount = 0;
    const auto noteMissing = [&](qint64 from, qint64 to) {
        missingCount += to - from;
        for (qint64 page = from; page < to && missing.size() < kMissingPagesNamed; ++page)
            missing << PageNumberToHex(int(page), kPageTextWidth);
    };
    qint64 expected = 0;
    for (auto it = pages.cbegin(); it != pages.cend() && *it <= last; ++it) {
        noteMissing(expected, *it);
        expected = qint64(*it) + 1;
    }
    noteMissing(expected, qint64(last) + 1);
    if (missingCount == 0)
        return;
    const QString named = missing.join(QStringLiteral(", "))
        + (missingCount > missing.size() ? QStringLiteral(", ...") : QString());
    m_lastPageFindings << says
            + (missingCount == 1 ? QStringLiteral(", but page %1 is missing").arg(named)
                                 : QStringLiteral(", but %1 pages are missing: %2")
                                       .arg(QString::number(missingCount), named));
}

void NvrCheck::tellFindings(const FindingHandler &found) const
{
    FindingWalk findings(found, m_pageLines, m_lastPageLine, m_lastPageFindings);
    walk(
        m_device,
        [&findings](
            int lineNumber, const QString &line) { findings.skippedLine(lineNumber, line); },
        [&findings](const NvrParameter &parameter, const QStringList &commands,
            const QString &line) { findings.parameterLine(parameter, commands, line); });
    findings.finish();
}

void NvrCheck::tellCommands(const CommandHandler &command) const
{
    walk(m_device, {},
        [&command](const NvrParameter &, const QStringList &commands, const QString &) {
            for (const QString &each : commands)
                command(each);
        });
    command(kEndOfTransfer);
}

bool CheckReport(const QString &fileName, QIODevice *device, bool withCommands,
    const std::function<void(const QByteArray &)> &out)
{
    const NvrCheck check(device);
    const QString name = EscapedText(fileName);
    const double seconds = double(check.wireBytes()) * kBitsPerByte / kBaudRate;
    out(QStringLiteral("%1: %2 to send, %3, %4, %5 s at %6 baud\n")
            .arg(name, CountOf(check.linesToSend(), QStringLiteral("line")),
                CountOf(check.commands(), QStringLiteral("command")),
                CountOf(check.wireBytes(), QStringLiteral("byte")),
                QString::number(seconds, 'f', 2), QString::number(kBaudRate))
            .toUtf8());
    bool found = false;
    check.tellFindings([&](const NvrFinding &finding) {
        found = true;
        out((FindingText(fileName, finding) + QLatin1Char('\n')).toUtf8());
    });
    if (withCommands) {
        check.tellCommands([&out](const QString &command) {
            const QByteArray wire = CommandBytes(command, int(command.size()));
            // Escapes are ASCII, so every other byte is listed as it goes on the wire.
            out(QByteArray::number(wire.size()).rightJustified(4) + ' '
                + EscapedText(QString::fromLatin1(wire)).toLatin1() + '\n');
        });
    }
    return found;
}
