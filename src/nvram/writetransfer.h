// Writing an ".nvr" file's parameters to the board, "$24%" last.
#pragma once

#include "nvram/transferhooks.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

class QIODevice;
class SerialLink;
struct NvrParameter;

// How a write ended: what was sent and answered, and why it stopped.
struct WriteResult {
    int lines = 0; // parameter lines in the file
    int linesSent = 0;
    int sent = 0; // commands
    int unanswered = 0; // commands without a complete answer
    bool stopped = false;
    bool linkLost = false;
    bool interrupted = false; // whoever ran the write stopped it
    bool endSent = false; // "$24%" went out
    bool endAnswered = false; // the board answered "$24%" completely
    QString currentPage;
    QString lastAnsweredPage;
    QStringList tooLongPages;
    int unansweredLines = 0; // lines sent with a command that got no complete answer
    QStringList unansweredPages; // the first few of them
};

// Sends the commands of one write, and stops once the board is gone or silent.
class WriteSession {
public:
    enum class Answer { Complete, Missing, LinkLost, Interrupted };
    using Exchange = std::function<Answer(const QString &command)>;
    // Called before each line with its page text and the share of the file sent before it.
    using Progress = std::function<void(const QString &pageText, int percent)>;

    WriteSession(Exchange exchange, Progress progress);

    void sendLines(QIODevice *file);
    const WriteResult &result() const { return m_result; }

private:
    bool send(const QString &command);
    void sendLine(const NvrParameter &parameter);

    Exchange m_exchange;
    Progress m_progress;
    int m_unansweredInRow = 0;
    WriteResult m_result;
};

// The lines of file, the bytes of a parameter file as read once and checked, to the board over
// link as the write sends them.
WriteResult WriteFileToCtl(SerialLink &link, const QByteArray &file, const TransferHooks &hooks);
