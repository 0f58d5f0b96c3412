// What the serial device itself tells through the port's descriptor: a hang-up, data to read,
// low latency. Found the same way on every Qt version.
#pragma once

#include <QObject>

class QSerialPort;
class QSocketNotifier;

// Whether the device behind an open port has gone (an unplugged adapter, a closed pty): the
// descriptor reports a hang-up or an error, or is readable with nothing to read. False while
// bytes are still waiting in the kernel, so that they are read first.
bool PortHungUp(const QSerialPort &port);

// Sleeps in the kernel until the port has bytes to read, the device hangs up, or ms pass; bytes
// that came are then in the port's buffer. Returns at once when the buffer already holds some.
void WaitForPortData(QSerialPort &port, int ms);

// Asks the driver to pass each received byte on at once rather than hold it back (a USB
// adapter's latency timer would delay every short answer). Drivers that refuse are left as
// they are.
void RequestLowLatency(const QSerialPort &port);

// Tells when the device behind an open port hangs up while nothing reads from it, so that the
// port can be closed at once: a hung-up descriptor stays readable, and the event loop would
// otherwise spin on it until the next exchange.
class HangUpWatch : public QObject {
    Q_OBJECT

public:
    explicit HangUpWatch(QSerialPort *port);
    ~HangUpWatch() override;

    // Watches the port as it is now; stops by itself when the port closes.
    void start();
    void stop();

signals:
    void hungUp();

private:
    void check();

    QSerialPort *m_port;
    // A descriptor of its own: Qt allows one read notifier per descriptor.
    int m_descriptor = -1;
    QSocketNotifier *m_notifier = nullptr;
};
