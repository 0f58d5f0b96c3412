// Writing an ".nvr" file's parameters to the board.
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include "app/constants.h"
#include "link/frame.h"
#include "link/linkstate.h"
#include "nvram/nvrformat.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <utility>

namespace {

constexpr int kExtensionLength = 4; // ".nvr"

const QString kEndOfTransfer = QStringLiteral("$24%");

enum class Answer { Complete, Missing, LinkLost };

// Sends the commands of one write, stops once the board is gone, and keeps what the technician
// must hear about afterwards.
class WriteSession {
public:
    using Exchange = std::function<Answer(const QString &command)>;
    // Called before each line with its page text and the share of the file sent before it.
    using Progress = std::function<void(const QString &pageText, int percent)>;

    WriteSession(Exchange exchange, Progress progress)
        : m_exchange(std::move(exchange))
        , m_progress(std::move(progress))
    {
    }

    void sendLines(QIODevice *file)
    {
        NvrParameter parameter;
        NvrLineReader counter(file);
        while (counter.next(parameter))
            ++m_lines;
        file->seek(0);

        NvrLineReader reader(file);
        for (int line = 0; !m_stopped && reader.next(parameter); ++line) {
            m_progress(parameter.pageText, line * 100 / qMax(1, m_lines));
            sendLine(parameter);
        }
        // The board saves what it holds on "$24%": after a stop that would make a half-written
        // set permanent.
        if (!m_stopped) {
            m_endSent = true;
            send(kEndOfTransfer);
        }
    }

    QString report() const
    {
        const bool stoppedEarly = m_stopped && !m_endSent;
        QStringList paragraphs;
        if (m_linkLost && m_endSent) {
            paragraphs << QStringLiteral("The link to the CTL PCB was lost at the end of the "
                                         "write: the board may not have saved the parameters. "
                                         "Write the file again once the board answers.");
        } else if (m_linkLost) {
            paragraphs << QStringLiteral("The link to the CTL PCB was lost at page %1.")
                              .arg(m_currentPage);
        } else if (stoppedEarly) {
            paragraphs << QStringLiteral("The write stopped: the CTL PCB gave no complete answer "
                                         "to %1 commands in a row.")
                              .arg(kUnansweredLimit);
        }
        if (stoppedEarly) {
            paragraphs << (m_lastAnsweredPage.isNull()
                    ? QStringLiteral("No page was completely written.")
                    : QStringLiteral("Last page completely written: %1.").arg(m_lastAnsweredPage));
            paragraphs << QStringLiteral("%1 of %2 lines of the file were not completely sent.")
                              .arg(m_lines - m_linesSent)
                              .arg(m_lines);
            paragraphs << QStringLiteral(
                "The parameters were not saved on the board, so it keeps its saved parameters "
                "after a restart. Write the file again once the board answers.");
        }
        if (!m_tooLongPages.isEmpty()) {
            paragraphs << QStringLiteral("Not sent, too long for one command: %1 %2.")
                              .arg(m_tooLongPages.size() == 1 ? QStringLiteral("page")
                                                              : QStringLiteral("pages"),
                                  m_tooLongPages.join(QStringLiteral(", ")));
        }
        if (m_unanswered > 0 && !stoppedEarly && !m_linkLost) {
            paragraphs << QStringLiteral("The board gave no complete answer to %1 of %2 commands.")
                              .arg(m_unanswered)
                              .arg(m_sent);
        }
        return paragraphs.join(QStringLiteral("\n\n"));
    }

private:
    // Returns whether the board answered the command completely.
    bool send(const QString &command)
    {
        ++m_sent;
        const Answer answer = m_exchange(command);
        if (answer == Answer::Complete) {
            m_unansweredInRow = 0;
            return true;
        }
        ++m_unanswered;
        m_linkLost = answer == Answer::LinkLost;
        m_stopped = m_linkLost || ++m_unansweredInRow >= kUnansweredLimit;
        return false;
    }

    void sendLine(const NvrParameter &parameter)
    {
        m_currentPage = parameter.pageText;
        const QStringList commands = ParameterWriteCommands(parameter);
        if (commands.isEmpty()) {
            m_tooLongPages << parameter.pageText;
            return;
        }
        bool answered = true;
        for (const QString &command : commands) {
            // A line whose value went out but whose description did not is not sent.
            if (m_stopped)
                return;
            answered = send(command) && answered;
        }
        ++m_linesSent;
        if (answered)
            m_lastAnsweredPage = parameter.pageText;
    }

    Exchange m_exchange;
    Progress m_progress;
    int m_lines = 0;
    int m_linesSent = 0;
    int m_sent = 0;
    int m_unanswered = 0;
    int m_unansweredInRow = 0;
    bool m_stopped = false;
    bool m_linkLost = false;
    bool m_endSent = false;
    QString m_currentPage;
    QString m_lastAnsweredPage;
    QStringList m_tooLongPages;
};

// Sends the file and returns what the technician must be told, empty when all went through.
QString sendFile(
    const QString &path, WriteSession::Exchange exchange, WriteSession::Progress progress)
{
    const NvrFileContents contents = ReadNvrFile(path);
    if (!contents.error.isEmpty()) {
        return QStringLiteral("Could not open %1: %2. Nothing was sent to the board.")
            .arg(path, contents.error);
    }
    QBuffer file;
    file.setData(contents.bytes);
    file.open(QIODevice::ReadOnly);
    WriteSession session(std::move(exchange), std::move(progress));
    session.sendLines(&file);
    return session.report();
}

} // namespace

void MainWindow::on_btnToCTL_PCB_clicked()
{
    const QString path = QFileDialog::getOpenFileName(
        this, tr("Select NVRAM File"), kNvramDirectory, QStringLiteral("NVRAM (*.nvr)"));
    QCoreApplication::processEvents();
    emit readFileSelected(path);
}

void MainWindow::onReadFileSelected(QString sFileName)
{
    const QString name = QFileInfo(sFileName).fileName();
    QCoreApplication::processEvents();
    // A negative count keeps the whole name: one shorter than the extension is shown as it is.
    ui->editToCTLPCB->setText(name.mid(0, name.size() - kExtensionLength));
    QCoreApplication::processEvents();
    ui->editToCTLPCB->setStyleSheet(kStyleEditGreen);
    QCoreApplication::processEvents();
    WriteFileToCtl(sFileName);
}

void MainWindow::WriteFileToCtl(QString path)
{
    // A cancelled dialog: nothing to send and nothing to say. With an empty path no open is
    // attempted, which also spares Qt's console warning.
    if (path.isEmpty()) {
        mainPollingTimer->start(kPollIntervalMs);
        ui->editToCTLPCB->setStyleSheet(kStyleEditYellow);
        return;
    }
    if (!StartTransfer(ui->editToCTLPCB))
        return;
    // "No complete answer" is anything but an answer that ended at its '#': silence, an answer
    // that stalled or ran past the length limit, or a lost device. What an answer says is not
    // judged.
    const QString report = sendFile(
        path,
        [this](const QString &command) {
            const bool complete = IsCompleteAnswer(TransferExchange(command));
            if (readErrorLatched)
                return Answer::LinkLost;
            return complete ? Answer::Complete : Answer::Missing;
        },
        [this](const QString &pageText, int percent) {
            ShowTransferProgress(
                QStringLiteral("Writing page %1 (%2 % of the file)").arg(pageText).arg(percent));
        });
    FinishTransfer(ui->editToCTLPCB, report);
}
