// Writing an ".nvr" file's parameters to the board.
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include "app/constants.h"
#include "link/frame.h"
#include "nvram/nvrformat.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <utility>

namespace {

constexpr int kExtensionLength = 4; // ".nvr"

// Sends the commands of one write and keeps what the technician must hear about afterwards.
class WriteSession {
public:
    // Writes one command and tells whether the board answered it.
    using Exchange = std::function<bool(const QString &command)>;

    explicit WriteSession(Exchange exchange)
        : m_exchange(std::move(exchange))
    {
    }

    void sendLines(QIODevice *file)
    {
        NvrLineReader reader(file);
        NvrParameter parameter;
        while (reader.next(parameter))
            sendLine(parameter);
    }

    void send(const QString &command)
    {
        ++m_sent;
        if (!m_exchange(command))
            ++m_unanswered;
    }

    QString report() const
    {
        QStringList paragraphs;
        if (!m_tooLongPages.isEmpty()) {
            paragraphs << QStringLiteral("Not sent, too long for one command: %1 %2.")
                              .arg(m_tooLongPages.size() == 1 ? QStringLiteral("page")
                                                              : QStringLiteral("pages"),
                                  m_tooLongPages.join(QStringLiteral(", ")));
        }
        if (m_unanswered > 0) {
            paragraphs << QStringLiteral("The board did not answer %1 of %2 commands.")
                              .arg(m_unanswered)
                              .arg(m_sent);
        }
        return paragraphs.join(QStringLiteral("\n\n"));
    }

private:
    void sendLine(const NvrParameter &parameter)
    {
        const QStringList commands = ParameterWriteCommands(parameter);
        if (commands.isEmpty()) {
            m_tooLongPages << parameter.pageText;
            return;
        }
        for (const QString &command : commands)
            send(command);
    }

    Exchange m_exchange;
    int m_sent = 0;
    int m_unanswered = 0;
    QStringList m_tooLongPages;
};

// Sends the file and returns what the technician must be told, empty when all went through.
// An empty path is a cancelled dialog: nothing is sent and nothing is said.
QString sendFile(const QString &path, WriteSession::Exchange exchange)
{
    if (path.isEmpty())
        return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return QStringLiteral("Could not open %1: %2. Nothing was sent to the board.")
            .arg(path, file.errorString());
    }
    WriteSession session(std::move(exchange));
    session.sendLines(&file);
    file.close();
    session.send(QStringLiteral("$24%"));
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
    mainPollingTimer->stop();
    // "No answer" is what ReadResponse reports as 0: nothing complete came inside the response
    // window (silence, an answer stalled before its '#', or a lost device). What an answer
    // says is not judged.
    const QString report = sendFile(path, [this](const QString &command) {
        WriteCommand(command, int(command.size()));
        return ReadResponse() != 0;
    });
    mainPollingTimer->start(kPollIntervalMs);
    ui->editToCTLPCB->setStyleSheet(kStyleEditYellow);
    if (!report.isEmpty())
        QMessageBox::warning(this, kMessageTitle, report);
}
