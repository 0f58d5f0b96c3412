// The technician's sentences about serial ports.
#include "portmessages.h"

#include "link/escapedtext.h"

#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QStringList>

#include <cerrno>
#include <unistd.h>

namespace {

QString lockFileKindText(LockFileKind kind, const QString &path)
{
    switch (kind) {
    case LockFileKind::Link:
        return QStringLiteral("a link");
    case LockFileKind::NamedPipe:
        return QStringLiteral("a named pipe");
    case LockFileKind::Device:
        return QStringLiteral("a device node");
    case LockFileKind::Socket:
        return QStringLiteral("a socket");
    case LockFileKind::Folder:
        return QStringLiteral("a folder");
    case LockFileKind::TooLarge:
        return QStringLiteral("a file of %1 bytes").arg(QFileInfo(path).size());
    case LockFileKind::Absent:
    case LockFileKind::Usable:
        break;
    }
    return QStringLiteral("a file");
}

QString openFailureCause(const QSerialPort &port)
{
    const QString portName = EscapedText(port.portName());
    const QString location = PortLocation(port.portName());
    if (port.error() == QSerialPort::DeviceNotFoundError || !QFileInfo::exists(location))
        return DeviceGoneText(port.portName());
    // The node is there, but opening it reaches no device (EIO): a removed card or adapter
    // whose node the system keeps.
    if (port.error() == QSerialPort::ResourceError) {
        return QStringLiteral("%1 is still there, but its device is not: the adapter or card "
                              "may have been removed.")
            .arg(portName);
    }

    const QString lockFile = QtLockFilePath(location);
    const qint64 owner = lockFile.isEmpty() ? 0 : LockFileOwner(lockFile);
    if (owner != 0 && !ProcessRuns(owner)) {
        return QStringLiteral("%1 is locked by a program that has ended: remove the lock file "
                              "%2 (sudo rm %2), then try again.")
            .arg(portName, EscapedText(lockFile));
    }
    // Without a lock in the way, a node the account may not open is the cause, whichever of
    // the account's own programs /proc shows holding it.
    const bool forbidden
        = ::access(QFile::encodeName(location).constData(), R_OK | W_OK) != 0 && errno == EACCES;
    if (owner != 0 || !forbidden) {
        if (const std::optional<PortHolderProcess> holder = PortHolder(location))
            return portName + QStringLiteral(" is ") + PortInUseText(*holder) + QLatin1Char('.');
    }
    if (forbidden) {
        return QStringLiteral("This account may not use %1: join the group dialout (sudo "
                              "usermod -aG dialout $USER), then log in again.")
            .arg(portName);
    }
    return {};
}

} // namespace

QString PortDescription(const QSerialPortInfo &info)
{
    QStringList lines;
    const auto add = [&lines](const QString &label, const QString &value) {
        if (!value.isEmpty())
            lines << label + EscapedText(value);
    };
    add(QStringLiteral("Description: "), info.description());
    add(QStringLiteral("Manufacturer: "), info.manufacturer());
    add(QStringLiteral("Serial number: "), info.serialNumber());
    if (lines.isEmpty()) {
        return QStringLiteral("The system reports nothing more about %1.")
            .arg(EscapedText(info.portName()));
    }
    return lines.join(QLatin1Char('\n'));
}

QString PortInUseText(const PortHolderProcess &holder)
{
    return QStringLiteral("in use by %1 (pid %2)")
        .arg(holder.name.isEmpty() ? QStringLiteral("another program") : EscapedText(holder.name))
        .arg(holder.pid);
}

QString DeviceGoneText(const QString &portName)
{
    return QStringLiteral("%1 is gone: the adapter may have been unplugged.")
        .arg(EscapedText(portName));
}

QString PortOpenFailure::boxText() const
{
    QString text = QStringLiteral("Can't open ") + portName
        + (error.isEmpty() ? QStringLiteral(".") : QStringLiteral(", ") + error);
    if (!cause.isEmpty())
        text += QLatin1Char('\n') + cause;
    return text;
}

QString PortOpenFailure::causeFirstText() const
{
    if (cause.isEmpty())
        return boxText();
    if (error.isEmpty())
        return cause;
    return cause + QStringLiteral("\nCan't open ") + portName + QStringLiteral(", ") + error;
}

PortOpenFailure OpenFailureOf(const QSerialPort &port)
{
    // Qt gives a busy port and a forbidden one the same code; the system tells them apart.
    return { EscapedText(port.portName()),
        QStringLiteral("error code %1 ").arg(int(port.error())) + port.errorString(),
        openFailureCause(port) };
}

PortOpenFailure UnsafeLockFileFailure(
    const QString &portName, const QString &lockFile, LockFileKind kind)
{
    const QString removal = (kind == LockFileKind::Folder ? QStringLiteral("sudo rm -r ")
                                                          : QStringLiteral("sudo rm "))
        + EscapedText(lockFile);
    return { EscapedText(portName), QString(),
        QStringLiteral("%1 cannot be locked: %2 is %3, not a lock file that a program makes. "
                       "Remove it (%4), then try again.")
            .arg(EscapedText(portName), EscapedText(lockFile), lockFileKindText(kind, lockFile),
                removal) };
}
