// What the serial device itself tells, read from its descriptor.
#include "serialdevice.h"

#include <QSerialPort>
#include <QSocketNotifier>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

bool PortHungUp(const QSerialPort &port)
{
    pollfd descriptor = { int(port.handle()), POLLIN, 0 };
    if (descriptor.fd < 0 || ::poll(&descriptor, 1, 0) <= 0)
        return false;
    int queued = 0;
    if (::ioctl(descriptor.fd, FIONREAD, &queued) == 0 && queued > 0)
        return false;
    // Readable with nothing queued is the end of the line, as a hang-up is.
    return descriptor.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL);
}

void WaitForPortData(QSerialPort &port, int ms)
{
    if (port.bytesAvailable() > 0)
        return;
    pollfd descriptor = { int(port.handle()), POLLIN, 0 };
    if (descriptor.fd < 0)
        return;
    // Qt's own wait returns at once, again and again, on a descriptor that hangs up; this one
    // returns once, and the reader then finds the hang-up.
    if (::poll(&descriptor, 1, ms) > 0 && (descriptor.revents & POLLIN))
        port.waitForReadyRead(0);
}

void RequestLowLatency(const QSerialPort &port)
{
    const int fd = int(port.handle());
    serial_struct serial = {};
    if (fd < 0 || ::ioctl(fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY))
        return;
    serial.flags |= ASYNC_LOW_LATENCY;
    ::ioctl(fd, TIOCSSERIAL, &serial);
}

HangUpWatch::HangUpWatch(QSerialPort *port)
    : QObject(port)
    , m_port(port)
{
    connect(port, &QIODevice::aboutToClose, this, &HangUpWatch::stop);
}

HangUpWatch::~HangUpWatch() { stop(); }

void HangUpWatch::start()
{
    stop();
    if (!m_port->isOpen())
        return;
    m_descriptor = ::fcntl(int(m_port->handle()), F_DUPFD_CLOEXEC, 0);
    if (m_descriptor < 0)
        return;
    m_notifier = new QSocketNotifier(m_descriptor, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &HangUpWatch::check);
}

void HangUpWatch::stop()
{
    if (m_notifier) {
        m_notifier->setEnabled(false);
        // It may be the one whose signal is being delivered.
        m_notifier->deleteLater();
        m_notifier = nullptr;
    }
    if (m_descriptor >= 0) {
        ::close(m_descriptor);
        m_descriptor = -1;
    }
}

void HangUpWatch::check()
{
    if (!PortHungUp(*m_port))
        return;
    stop();
    emit hungUp();
}
