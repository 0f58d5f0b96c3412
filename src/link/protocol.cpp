// The one place where bytes cross the serial line: a command out, its answer in.
#include "ui/mainwindow.h"

#include "app/constants.h"
#include "link/frame.h"
#include "link/linkstate.h"

#include <QDebug>
#include <QMessageBox>
#include <QTimer>

namespace {

// A vanished device (unplugged adapter, closed pty) never makes read() fail: it reads
// nothing while the port's last wait has recorded one of these errors.
bool deviceLost(const QSerialPort &port)
{
    return port.error() == QSerialPort::ReadError || port.error() == QSerialPort::ResourceError;
}

// waitForReadyRead() waits for new data only; with bytes already buffered it would
// sleep its whole timeout.
void waitForData(QSerialPort &port, int ms)
{
    if (port.bytesAvailable() == 0)
        port.waitForReadyRead(ms);
}

} // namespace

void MainWindow::WriteCommand(const QString &command, int length)
{
    m_exchangeInProgress = true;
    lastCommand = command;
    serialPort.clear(QSerialPort::AllDirections);
    // An error seen by this exchange's reads must be one of its own.
    serialPort.clearError();

    const QByteArray bytes = CommandBytes(command, length);
    serialPort.write(bytes);
    const QDeadlineTimer writeDeadline(kWriteWaitMs);
    while (serialPort.bytesToWrite() > 0 && !writeDeadline.hasExpired()) {
        if (!serialPort.waitForBytesWritten(int(writeDeadline.remainingTime())))
            break;
    }

    serialWatchdogTimer->start(kResponseWindowMs);
    m_responseDeadline.setRemainingTime(kResponseWindowMs);
    qDebug() << "WriteCommand: " << command << " len = " << CommandLength(length);
}

int MainWindow::ReadResponse()
{
    RCV_Str.clear();
    const auto endExchange = [this](int result) {
        serialWatchdogTimer->stop();
        watchdogTriggered = false;
        m_exchangeInProgress = false;
        return result;
    };

    // After a failed read nothing more can come: do not sit out the window.
    if (readErrorLatched)
        return endExchange(0);

    waitForData(serialPort, kFirstByteWaitMs);
    int responseLen = 0;
    for (;;) {
        qDebug() << "ReadResponse:"
                 << " bytes available = " << serialPort.bytesAvailable();
        int result = ReadChar();
        qDebug() << "ReadResponse:"
                 << "ReadChar() = " << result;

        while (result == 0) {
            // The timer's expiry reaches watchdogTriggered only through the event loop; the
            // deadline ends the window here, and bounds the whole answer once it has begun.
            if (watchdogTriggered || m_responseDeadline.hasExpired()) {
                qDebug() << "watchdog triggered....bailing";
                return endExchange(0);
            }
            waitForData(serialPort, kRetryWaitMs);
            result = ReadChar();
            qDebug() << "ReadResponse second try "
                     << "ReadChar() = " << result;
        }
        // A failed read (the only way the latch gets set in here) ends the answer at once;
        // RCV_Str keeps what was taken.
        if (readErrorLatched)
            return endExchange(0);

        ++responseLen;
        const QChar ch(static_cast<uchar>(result & 0xFF));
        RCV_Str.append(ch);
        serialWatchdogTimer->stop();
        // Measured from the first byte only: a board that trickles must not keep the window
        // blocked for as long as it likes.
        if (responseLen == 1)
            m_responseDeadline.setRemainingTime(kAnswerCompletionMs);

        if (responseLen == kResponseOverflow) {
            qDebug() << "responseLen > 200";
            return endExchange(kResponseOverflow);
        }
        if (ch == QLatin1Char('#')) {
            qDebug() << "RCV_Str =" << RCV_Str;
            return endExchange(responseLen);
        }
    }
}

int MainWindow::ReadChar()
{
    if (readErrorLatched)
        return 0;

    char byte = 0;
    const qint64 count = serialPort.read(&byte, 1);
    if (count < 0 || (count == 0 && deviceLost(serialPort))) {
        readErrorLatched = true;
        // A transfer reports the lost link in its own box, with what it means for the file or
        // the board; a box from in here would be a second one.
        if (!m_transferInProgress) {
            QMessageBox::warning(this, kMessageTitle,
                QStringLiteral("Error: Read timeout on command ") + lastCommand);
        }
        return -1;
    }
    if (count == 0)
        return 0;
    return static_cast<signed char>(byte);
}

void MainWindow::serialWatchdogTimerElapsed()
{
    watchdogTriggered = true;
    serialWatchdogTimer->stop();
}
