// What the serial device itself tells, read from its descriptor and from the system.
#include "serialdevice.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QSocketNotifier>
#include <QStringList>

#include <cerrno>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The device node, as Qt Serial Port derives it from the port's name.
QString systemLocation(const QSerialPort &port)
{
    const QString name = port.portName();
    return name.startsWith(QLatin1Char('/')) ? name : QStringLiteral("/dev/") + name;
}

// Every place Qt Serial Port may keep the port's lock file ("LCK.." and the node's name below
// /dev with '/' as '_'), in the order it tries them; the first that exists is the one.
QString existingLockFile(const QString &location)
{
    QString name = location;
    if (name.startsWith(QLatin1String("/dev/")))
        name.remove(0, 5);
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    const QStringList folders = { QStringLiteral("/var/lock"), QStringLiteral("/etc/locks"),
        QStringLiteral("/var/spool/locks"), QStringLiteral("/var/spool/uucp"), QDir::tempPath(),
        QStringLiteral("/var/tmp"), QStringLiteral("/run/lock"),
        QStringLiteral("/var/lock/lockdev") };
    for (const QString &folder : folders) {
        const QString path = folder + QStringLiteral("/LCK..") + name;
        if (QFileInfo(path).isFile())
            return path;
    }
    return {};
}

// The process id a lock file starts with (Qt's and the older UUCP style both do); 0 when it
// holds none. The lock folders are writable by all, so the file is read without blocking and
// only if it is a regular file.
pid_t lockOwner(const QString &path)
{
    const int fd = ::open(
        QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char text[32] = {};
    struct stat info = {};
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    const ssize_t count = regular ? ::read(fd, text, sizeof text - 1) : -1;
    ::close(fd);
    if (count <= 0)
        return 0;
    bool ok = false;
    const qlonglong pid
        = QByteArray(text, int(count)).split('\n').constFirst().trimmed().toLongLong(&ok);
    return ok && pid > 0 && pid <= 0x3fffffff ? pid_t(pid) : 0;
}

bool processRuns(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

QString processName(pid_t pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(comm.readLine(64).trimmed());
}

// A process other than this one with the node open, as far as /proc shows it (only this
// user's processes, unless root).
pid_t processHolding(const QString &location)
{
    const QString node = QFileInfo(location).canonicalFilePath();
    if (node.isEmpty())
        return 0;
    const QStringList processes = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : processes) {
        bool ok = false;
        const pid_t pid = pid_t(entry.toInt(&ok));
        if (!ok || pid == ::getpid())
            continue;
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
        const QFileInfoList links = fds.entryInfoList(QDir::Files | QDir::System);
        for (const QFileInfo &link : links) {
            if (link.symLinkTarget() == node)
                return pid;
        }
    }
    return 0;
}

} // namespace

std::optional<PortHolderProcess> PortHolder(const QString &location)
{
    const QString lockFile = existingLockFile(location);
    pid_t pid = lockFile.isEmpty() ? 0 : lockOwner(lockFile);
    // A lock file whose program has ended holds nothing; a program that keeps the node open
    // without a lock file still does.
    if (pid == 0 || !processRuns(pid))
        pid = processHolding(location);
    if (pid == 0)
        return std::nullopt;
    return PortHolderProcess { pid, processName(pid) };
}

QString PortInUseText(const PortHolderProcess &holder)
{
    return QStringLiteral("in use by %1 (pid %2)")
        .arg(holder.name.isEmpty() ? QStringLiteral("another program") : holder.name)
        .arg(holder.pid);
}

QString PortDescription(const QSerialPortInfo &info)
{
    QStringList lines;
    const auto add = [&lines](const QString &label, const QString &value) {
        if (!value.isEmpty())
            lines << label + value;
    };
    add(QStringLiteral("Description: "), info.description());
    add(QStringLiteral("Manufacturer: "), info.manufacturer());
    add(QStringLiteral("Serial number: "), info.serialNumber());
    if (lines.isEmpty())
        return QStringLiteral("The system reports nothing more about %1.").arg(info.portName());
    return lines.join(QLatin1Char('\n'));
}

QString ResolvedPortName(const QString &port)
{
    if (!port.contains(QLatin1Char('/')))
        return port;
    const QString device = QFileInfo(port).canonicalFilePath();
    return device.isEmpty() ? port : device;
}

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

QString OpenFailureCause(const QSerialPort &port)
{
    const QString location = systemLocation(port);
    const QString portName = port.portName();
    if (port.error() == QSerialPort::DeviceNotFoundError || !QFileInfo::exists(location))
        return QStringLiteral("%1 is gone: the adapter may have been unplugged.").arg(portName);

    const QString lockFile = existingLockFile(location);
    const pid_t owner = lockFile.isEmpty() ? 0 : lockOwner(lockFile);
    if (owner != 0 && !processRuns(owner)) {
        return QStringLiteral("%1 is locked by a program that has ended: remove the lock file "
                              "%2 (sudo rm %2), then try again.")
            .arg(portName, lockFile);
    }
    if (const std::optional<PortHolderProcess> holder = PortHolder(location))
        return portName + QStringLiteral(" is ") + PortInUseText(*holder) + QLatin1Char('.');
    if (::access(QFile::encodeName(location).constData(), R_OK | W_OK) != 0 && errno == EACCES) {
        return QStringLiteral("This account may not use %1: join the group dialout (sudo "
                              "usermod -aG dialout $USER), then log in again.")
            .arg(portName);
    }
    return {};
}

QString OpenFailureMessage(const QSerialPort &port)
{
    QString text
        = QStringLiteral("Can't open %1, error code %2").arg(port.portName()).arg(int(port.error()))
        + QLatin1Char(' ') + port.errorString();
    // Qt gives a busy port and a forbidden one the same code; the system tells them apart.
    const QString cause = OpenFailureCause(port);
    if (!cause.isEmpty())
        text += QLatin1Char('\n') + cause;
    return text;
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
