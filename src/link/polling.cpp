// Connection and polling cycle: opening and closing the port, greeting and polling the board.
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include "app/constants.h"
#include "link/frame.h"
#include "link/linkstate.h"
#include "link/serialdevice.h"

#include <QTimer>

namespace {

const QString kGreeting = QStringLiteral("$90%");
const QString kStatusQuery = QStringLiteral("$91%");
const QString kNoFileName = QStringLiteral("------------------");

} // namespace

void MainWindow::on_comboBoxSerialPorts_textActivated(const QString &arg1)
{
    if (arg1.isEmpty())
        return;
    ui->btnConnectPort->setStyleSheet(kStyleButtonRed);
    ui->btnConnectPort->show();
    serialPort.setPortName(arg1);
}

void MainWindow::on_btnConnectPort_clicked()
{
    if (serialPort.isOpen()) {
        disconnectRequested = true;
        return;
    }

    if (!serialPort.open(QIODevice::ReadWrite)) {
        ShowWarning(OpenFailureMessage(serialPort));
        ResetToDisconnected();
        return;
    }

    // A new connection gets a working reader again, so after a replugged cable the tool
    // neither stays deaf nor saves empty backups; at most one box per connection.
    readErrorLatched = false;
    m_pollsUnanswered = 0;
    RequestLowLatency(serialPort);
    m_hangUpWatch->start();

    ui->btnConnectPort->setStyleSheet(kStyleButtonGreen);
    ui->editFromCTLPCB->setText(kDefaultUploadName);
    ui->editToCTLPCB->setText(kDefaultDownloadName);
    ui->btnFromCTL_PCB->setEnabled(true);
    ui->btnToCTL_PCB->setEnabled(true);
    pollState = 1;
    mainPollingTimer->start(kPollIntervalMs);
}

void MainWindow::MainPollingTimerElapsed()
{
    // The read-failure box runs a modal loop inside an exchange. Qt holds this timer back only
    // while one of its own ticks runs, so inside an exchange started elsewhere a tick would
    // start a second exchange on the same port and response buffer.
    if (m_exchangeInProgress)
        return;

    if (!readErrorLatched) {
        if (disconnectRequested) {
            WriteCommand(kGreeting, int(kGreeting.size()));
            ReadResponse();
            serialPort.close();
            disconnectRequested = false;
            pollState = 3;
        }
        RunPollState();
    }
    // A lost device has had its box from the failed read, which also closed its port; a silent
    // board gets one here.
    if (readErrorLatched) {
        DropLink();
    } else if (!serialPort.isOpen()) {
        return;
    } else if (m_pollsUnanswered >= kUnansweredLimit) {
        const QString port = serialPort.portName();
        DropLink();
        ShowWarning(
            QStringLiteral("The CTL PCB does not answer on %1. The port may be the wrong one: "
                           "choose the port the board is connected to and press COMMS.")
                .arg(port));
    }
}

void MainWindow::RunPollState()
{
    switch (pollState) {
    case 1:
        ConnectHandshake();
        pollState = 2;
        break;
    case 2:
        if (statusPollCountdown > 0) {
            --statusPollCountdown;
        } else {
            StatusPoll();
            statusPollCountdown = 1;
        }
        break;
    case 3:
        ResetToDisconnected();
        pollState = 0;
        break;
    default:
        break;
    }
}

void MainWindow::ConnectHandshake()
{
    PollExchange(kGreeting);
    ui->editFromCTLPCB->setText(kDefaultUploadName);
    ui->editToCTLPCB->setText(kDefaultDownloadName);
    ui->btnFromCTL_PCB->setEnabled(true);
    ui->btnToCTL_PCB->setEnabled(true);
}

void MainWindow::StatusPoll() { PollExchange(kStatusQuery); }

void MainWindow::PollExchange(const QString &command)
{
    WriteCommand(command, int(command.size()));
    m_pollsUnanswered = IsCompleteAnswer(ReadResponse()) ? 0 : m_pollsUnanswered + 1;
}

bool MainWindow::LinkIsLive() const { return serialPort.isOpen() && !readErrorLatched; }

// Closes a link that no longer works without sending anything more, so that one COMMS press
// connects again.
void MainWindow::DropLink()
{
    serialPort.close();
    disconnectRequested = false;
    m_pollsUnanswered = 0;
    ResetToDisconnected();
}

void MainWindow::ResetToDisconnected()
{
    ui->btnConnectPort->setStyleSheet(kStyleButtonRed);
    ui->editFromCTLPCB->setText(kNoFileName);
    ui->editToCTLPCB->setText(kNoFileName);
    ui->btnFromCTL_PCB->setEnabled(false);
    ui->btnToCTL_PCB->setEnabled(false);
    pollState = 0;
    mainPollingTimer->stop();
}
