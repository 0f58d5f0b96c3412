// Writing an ".nvr" file's parameters to the board.
#include "writetransfer.h"

#include "link/escapedtext.h"
#include "link/frame.h"
#include "link/seriallink.h"
#include "nvram/nvrformat.h"
#include "nvram/writerule.h"

#include <QBuffer>

#include <utility>

namespace {

// Pages named in a box; the rest are counted.
constexpr int kPagesNamed = 3;
// Refused lines named in a box.
constexpr int kRefusalsNamed = 3;

// "page 0001", "pages 0001, 0003 and 0005", "pages 0001, 0003, 0005 and 4 more".
QString namedPages(const QStringList &first, int count)
{
    if (count == 1)
        return QStringLiteral("page ") + first.constFirst();
    if (count > first.size()) {
        return QStringLiteral("pages %1 and %2 more")
            .arg(first.join(QStringLiteral(", ")), QString::number(count - first.size()));
    }
    return QStringLiteral("pages %1 and %2")
        .arg(first.mid(0, first.size() - 1).join(QStringLiteral(", ")), first.constLast());
}

} // namespace

QString WriteResultMessage(const WriteResult &result)
{
    const bool stoppedEarly = result.stopped && !result.endSent;
    QStringList paragraphs;
    if (result.linkLost && result.endSent) {
        paragraphs << QStringLiteral("The link to the CTL PCB was lost at the end of the "
                                     "write: the board may not have saved the parameters. "
                                     "Write the file again once the board answers.");
    } else if (result.linkLost) {
        paragraphs << QStringLiteral("The link to the CTL PCB was lost at page %1.")
                          .arg(result.currentPage);
    } else if (result.interrupted) {
        paragraphs
            << QStringLiteral("The write was interrupted at page %1.").arg(result.currentPage);
    } else if (stoppedEarly) {
        paragraphs << QStringLiteral("The write stopped: the CTL PCB gave no complete answer "
                                     "to %1 commands in a row.")
                          .arg(kUnansweredLimit);
    }
    if (stoppedEarly) {
        paragraphs << (result.lastAnsweredPage.isNull()
                ? QStringLiteral("No page was completely written.")
                : QStringLiteral("Last page completely written: %1.").arg(result.lastAnsweredPage));
        paragraphs << QStringLiteral("%1 of %2 lines of the file were not completely sent.")
                          .arg(result.lines - result.linesSent)
                          .arg(result.lines);
        paragraphs << QStringLiteral(
            "The parameters were not saved on the board, so it keeps its saved parameters "
            "after a restart. Write the file again once the board answers.");
    }
    if (!result.tooLongPages.isEmpty()) {
        paragraphs << QStringLiteral("Not sent, too long for one command: %1 %2.")
                          .arg(result.tooLongPages.size() == 1 ? QStringLiteral("page")
                                                               : QStringLiteral("pages"),
                              result.tooLongPages.join(QStringLiteral(", ")));
    }
    // The board saves on "$24%" whatever it made of the commands before it: say so, and where.
    if (result.endSent && result.unansweredLines > 0) {
        paragraphs << QStringLiteral("The board gave no complete answer to %1 of %2 commands: for "
                                     "%3%4. \"$24%\" was sent all the same, so the board was told "
                                     "to save: it may now hold old or wrong values there. Write "
                                     "the file again once the board answers.")
                          .arg(result.unanswered)
                          .arg(result.sent)
                          .arg(namedPages(result.unansweredPages, result.unansweredLines),
                              result.endAnswered ? QString()
                                                 : QStringLiteral(", and for \"$24%\""));
    } else if (result.endSent && !result.endAnswered && !result.linkLost) {
        paragraphs << QStringLiteral(
            "The board gave no complete answer to \"$24%\", which tells it to save: it may not "
            "have saved the parameters. Write the file again once the board answers.");
    }
    return paragraphs.join(QStringLiteral("\n\n"));
}

QString WriteRefusalMessage(const QString &path, const NvrFileContents &contents)
{
    const QString name = EscapedText(path);
    if (!contents.error.isEmpty()) {
        return QStringLiteral("Could not open %1: %2. Nothing was sent to the board.")
            .arg(name, contents.error);
    }
    const WriteRefusals refusals = FindWriteRefusals(contents.bytes, kRefusalsNamed);
    if (refusals.count == 0)
        return {};
    QStringList lines;
    for (const NvrFinding &refusal : refusals.first)
        lines << FindingText(path, refusal);
    if (refusals.count > refusals.first.size())
        lines << QStringLiteral("and %1 more").arg(refusals.count - refusals.first.size());
    return QStringLiteral("%1 cannot be written to the CTL PCB as it is:\n\n").arg(name)
        + lines.join(QLatin1Char('\n')) + QStringLiteral("\n\nNothing was sent to the board.");
}

WriteSession::WriteSession(Exchange exchange, Progress progress)
    : m_exchange(std::move(exchange))
    , m_progress(std::move(progress))
{
}

void WriteSession::sendLines(QIODevice *file)
{
    NvrParameter parameter;
    NvrLineReader counter(file);
    while (counter.next(parameter))
        ++m_result.lines;
    file->seek(0);

    NvrLineReader reader(file);
    for (int line = 0; !m_result.stopped && reader.next(parameter); ++line) {
        m_progress(parameter.pageText, line * 100 / qMax(1, m_result.lines));
        sendLine(parameter);
    }
    // The board saves what it holds on "$24%": after a stop that would make a half-written
    // set permanent.
    if (!m_result.stopped) {
        m_result.endSent = true;
        m_result.endAnswered = send(kEndOfTransfer);
        m_result.endSent = !m_result.interrupted;
    }
}

// Returns whether the board answered the command completely.
bool WriteSession::send(const QString &command)
{
    const Answer answer = m_exchange(command);
    if (answer == Answer::Interrupted) {
        m_result.stopped = m_result.interrupted = true;
        return false;
    }
    ++m_result.sent;
    if (answer == Answer::Complete) {
        m_unansweredInRow = 0;
        return true;
    }
    ++m_result.unanswered;
    m_result.linkLost = answer == Answer::LinkLost;
    m_result.stopped = m_result.linkLost || ++m_unansweredInRow >= kUnansweredLimit;
    return false;
}

void WriteSession::sendLine(const NvrParameter &parameter)
{
    m_result.currentPage = parameter.pageText;
    const QStringList commands = ParameterWriteCommands(parameter);
    if (commands.isEmpty()) {
        m_result.tooLongPages << parameter.pageText;
        return;
    }
    bool answered = true;
    for (const QString &command : commands) {
        // A line whose value went out but whose description did not is not sent.
        if (m_result.stopped)
            return;
        answered = send(command) && answered;
    }
    ++m_result.linesSent;
    if (answered) {
        m_result.lastAnsweredPage = parameter.pageText;
    } else if (++m_result.unansweredLines <= kPagesNamed) {
        m_result.unansweredPages << parameter.pageText;
    }
}

WriteResult WriteFileToCtl(SerialLink &link, const QByteArray &file, const TransferHooks &hooks)
{
    QBuffer buffer;
    buffer.setData(file);
    buffer.open(QIODevice::ReadOnly);
    // "No complete answer" is anything but an answer that ended at its '#': silence, an answer
    // that stalled or ran past the length limit, or a lost device. What an answer says is not
    // judged.
    WriteSession session(
        [&link, &hooks](const QString &command) {
            if (hooks.beforeExchange)
                hooks.beforeExchange();
            if (hooks.stopRequested && hooks.stopRequested())
                return WriteSession::Answer::Interrupted;
            const bool complete = IsCompleteAnswer(link.exchange(command));
            if (link.deviceWasLost())
                return WriteSession::Answer::LinkLost;
            return complete ? WriteSession::Answer::Complete : WriteSession::Answer::Missing;
        },
        [&hooks](const QString &pageText, int percent) {
            if (hooks.progress) {
                hooks.progress(
                    QStringLiteral("Writing page %1 (%2 % of the file)").arg(pageText).arg(percent),
                    percent);
            }
        });
    session.sendLines(&buffer);
    return session.result();
}
