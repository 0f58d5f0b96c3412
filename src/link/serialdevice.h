// What the serial device itself tells: a hang-up, data to read, low latency, and why it cannot
// be opened. Found from the port's descriptor, the same way on every Qt version.
#pragma once

#include <QObject>
#include <QString>

#include <optional>

class QSerialPort;
class QSerialPortInfo;
class QSocketNotifier;

// The description, manufacturer and serial number the system reports for a port, one a line.
QString PortDescription(const QSerialPortInfo &info);

// The name to open a port by: a name as listed ("ttyUSB0") as it is, a path with every link
// resolved ("/dev/serial/by-id/..." becomes "/dev/ttyUSB0"), so that every program that opens
// the device meets the same lock file. A path that does not exist is kept, for the open to tell.
QString ResolvedPortName(const QString &port);

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

// A program that holds a port open.
struct PortHolderProcess {
    qint64 pid = 0;
    QString name; // empty when the system does not tell it
};

// The program that holds the device node at location, as the port's lock file or /proc tells
// (where this process is not looked for); nothing when none does. The port itself is never opened:
// an open would raise DTR and RTS on the line.
std::optional<PortHolderProcess> PortHolder(const QString &location);

// "in use by NAME (pid N)", "another program" standing in for a name the system does not tell.
QString PortInUseText(const PortHolderProcess &holder);

// The box for a port that could not be opened: Qt's error code and text, then the cause where
// one is found.
QString OpenFailureMessage(const QSerialPort &port);

// One sentence on why port could not be opened, as far as the system tells: the account lacks
// permission, another program holds the port, a lock file outlived its program, or the device
// is gone. Empty when no cause is found.
QString OpenFailureCause(const QSerialPort &port);

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
