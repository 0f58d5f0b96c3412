// The one place where bytes cross the serial line: a command out, its answer in.
#include "seriallink.h"

#include "link/frame.h"
#include "link/lockfile.h"
#include "link/serialdevice.h"

#include <QDebug>
#include <QTimer>

SerialLink::SerialLink(const LinkTimings &timings, QObject *parent)
    : QObject(parent)
    , m_timings(timings)
{
    serialPort.setParity(QSerialPort::NoParity);
    serialPort.setStopBits(QSerialPort::OneStop);
    serialPort.setDataBits(QSerialPort::Data8);
    serialPort.setBaudRate(kBaudRate, QSerialPort::AllDirections);

    serialWatchdogTimer = new QTimer(this);
    connect(serialWatchdogTimer, SIGNAL(timeout()), this, SLOT(serialWatchdogTimerElapsed()));
    m_hangUpWatch = new HangUpWatch(&serialPort);
    connect(m_hangUpWatch, SIGNAL(hungUp()), this, SLOT(onPortHungUp()));
}

SerialLink::~SerialLink() { serialPort.close(); }

bool SerialLink::open()
{
    serialPort.setPortName(ResolvedPortName(m_portName));
    // Qt's lock would block in open() on a named pipe planted as the lock file, or read a link
    // to /dev/zero for ever: what stands there is looked at first, without opening it.
    const QString lockFile = QtLockFilePath(PortLocation(serialPort.portName()));
    const LockFileKind lockKind = InspectLockFile(lockFile);
    if (lockKind != LockFileKind::Absent && lockKind != LockFileKind::Usable) {
        m_openFailure = UnsafeLockFileFailure(serialPort.portName(), lockFile, lockKind);
        return false;
    }
    if (!serialPort.open(QIODevice::ReadWrite)) {
        m_openFailure = OpenFailureOf(serialPort);
        return false;
    }
    readErrorLatched = false;
    RequestLowLatency(serialPort);
    m_hangUpWatch->start();
    return true;
}

int SerialLink::exchange(const QString &command)
{
    WriteCommand(command, int(command.size()));
    return ReadResponse();
}

void SerialLink::WriteCommand(const QString &command, int length)
{
    m_exchangeInProgress = true;
    lastCommand = command;
    // A lost device has closed the port; nothing can go out any more.
    if (serialPort.isOpen()) {
        serialPort.clear(QSerialPort::AllDirections);
        serialPort.clearError();
        serialPort.write(CommandBytes(command, length));
        const QDeadlineTimer writeDeadline(m_timings.writeWaitMs);
        while (serialPort.bytesToWrite() > 0 && !writeDeadline.hasExpired()
            && !PortHungUp(serialPort)) {
            if (!serialPort.waitForBytesWritten(int(writeDeadline.remainingTime())))
                break;
        }
    }

    serialWatchdogTimer->start(m_timings.responseWindowMs);
    m_responseDeadline.setRemainingTime(m_timings.responseWindowMs);
    qDebug() << "WriteCommand: " << command << " len = " << CommandLength(length);
}

int SerialLink::ReadResponse()
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

    WaitForPortData(serialPort, m_timings.firstByteWaitMs);
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
            WaitForPortData(serialPort, m_timings.retryWaitMs);
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
            m_responseDeadline.setRemainingTime(m_timings.answerCompletionMs);

        if (responseLen == kResponseOverflow) {
            qDebug() << "responseLen > 200";
            return endExchange(kResponseOverflow);
        }
        if (ch == QLatin1Char(kAnswerEnd)) {
            qDebug() << "RCV_Str =" << RCV_Str;
            return endExchange(responseLen);
        }
    }
}

int SerialLink::ReadChar()
{
    if (readErrorLatched)
        return 0;

    char byte = 0;
    const qint64 count = serialPort.read(&byte, 1);
    if (count < 0 || (count == 0 && PortHungUp(serialPort))) {
        DeviceLost();
        return -1;
    }
    if (count == 0)
        return 0;
    return static_cast<signed char>(byte);
}

// The device has gone: the link is latched and its port closed before anyone is told.
void SerialLink::DeviceLost()
{
    readErrorLatched = true;
    serialPort.close();
    emit deviceLost();
}

// A hang-up while no exchange reads from the port.
void SerialLink::onPortHungUp()
{
    if (!m_exchangeInProgress && !readErrorLatched)
        DeviceLost();
}

void SerialLink::serialWatchdogTimerElapsed()
{
    watchdogTriggered = true;
    serialWatchdogTimer->stop();
}
