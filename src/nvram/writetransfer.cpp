// Writing an ".nvr" file's parameters to the board.
#include "writetransfer.h"

#include "link/frame.h"
#include "link/seriallink.h"
#include "nvram/nvrformat.h"
#include "nvram/transfermessages.h"

#include <QBuffer>

#include <utility>

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
                hooks.progress(WritingProgressText(pageText, percent), percent);
            }
        });
    session.sendLines(&buffer);
    return session.result();
}
