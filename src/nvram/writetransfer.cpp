// Writing an ".nvr" file's parameters to the board.
#include "writetransfer.h"

#include "link/frame.h"
#include "link/seriallink.h"
#include "nvram/nvrformat.h"

#include <QBuffer>

#include <utility>

QString WriteResultMessage(const WriteResult &result)
{
    if (!result.openError.isEmpty()) {
        return QStringLiteral("Could not open %1: %2. Nothing was sent to the board.")
            .arg(result.path, result.openError);
    }
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
    if (result.unanswered > 0 && !stoppedEarly && !result.linkLost) {
        paragraphs << QStringLiteral("The board gave no complete answer to %1 of %2 commands.")
                          .arg(result.unanswered)
                          .arg(result.sent);
    }
    return paragraphs.join(QStringLiteral("\n\n"));
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
        send(kEndOfTransfer);
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
    if (answered)
        m_result.lastAnsweredPage = parameter.pageText;
}

WriteResult WriteFileToCtl(SerialLink &link, const QString &path, const TransferHooks &hooks)
{
    const NvrFileContents contents = ReadNvrFile(path);
    if (!contents.error.isEmpty()) {
        WriteResult result;
        result.path = path;
        result.openError = contents.error;
        return result;
    }
    QBuffer file;
    file.setData(contents.bytes);
    file.open(QIODevice::ReadOnly);
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
    session.sendLines(&file);
    WriteResult result = session.result();
    result.path = path;
    return result;
}
