// The exchange over the serial port: one command out, its answer in, and what the link knows
// between exchanges (the answer last collected, the command last sent, a lost device).
#pragma once

#include "link/portmessages.h"
#include "link/timings.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QSerialPort>
#include <QString>

class HangUpWatch;
class QTimer;

class SerialLink : public QObject {
    Q_OBJECT

public:
    explicit SerialLink(const LinkTimings &timings = {}, QObject *parent = nullptr);
    ~SerialLink() override; // closes the port; nothing is sent on the way out

    // Configured at 57600 baud 8N1; named by open(), after the device it opens.
    QSerialPort &port() { return serialPort; }
    const LinkTimings &timings() const { return m_timings; }

    // The port as the technician gave it: a name as listed or a path, perhaps a link. Takes
    // effect at the next open.
    void setPortName(const QString &name) { m_portName = name; }
    const QString &portName() const { return m_portName; }

    // Opens the port as named, a link resolved anew each time (after a replug it may lead to
    // another node), so that every program meets the device's one lock file. A new connection
    // gets a working reader again, so after a replugged cable the link neither stays deaf nor
    // saves empty backups.
    bool open();
    // Why the last open failed.
    const PortOpenFailure &openFailure() const { return m_openFailure; }
    void close() { serialPort.close(); }
    // Open, and no device lost since it was opened.
    bool isLive() const { return serialPort.isOpen() && !readErrorLatched; }

    void WriteCommand(const QString &command, int length);
    int ReadResponse();
    int ReadChar();
    // WriteCommand with the command's whole length, then ReadResponse.
    int exchange(const QString &command);

    bool exchangeInProgress() const { return m_exchangeInProgress; }
    const QString &response() const { return RCV_Str; } // '#' included
    const QString &command() const { return lastCommand; }
    bool deviceWasLost() const { return readErrorLatched; }

signals:
    // The device has gone (an unplugged adapter, a closed pty), found by an exchange or while
    // none ran. Emitted once; the port is already closed, since a hung-up descriptor stays
    // readable and would keep any event loop spinning.
    void deviceLost();

private slots:
    void serialWatchdogTimerElapsed();
    void onPortHungUp();

private:
    void DeviceLost();

    LinkTimings m_timings;
    QString m_portName;
    QSerialPort serialPort;
    PortOpenFailure m_openFailure;
    HangUpWatch *m_hangUpWatch = nullptr;
    QTimer *serialWatchdogTimer = nullptr;
    bool watchdogTriggered = false;
    // The response window as the blocking reader sees it: the timer's expiry is only delivered
    // by the event loop, which does not run inside an exchange.
    QDeadlineTimer m_responseDeadline;
    bool m_exchangeInProgress = false;

    QString RCV_Str; // the response last collected, '#' included
    QString lastCommand; // the command last written, named in the read-failure box
    bool readErrorLatched = false; // set by a lost device; cleared when the port is opened again

    friend struct LinkTestAccess;
};
