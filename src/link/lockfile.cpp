// Where Qt Serial Port keeps a port's lock file, and what stands there.
#include "lockfile.h"

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <sys/stat.h>

QString ResolvedPortName(const QString &port)
{
    if (!port.contains(QLatin1Char('/')))
        return port;
    const QString device = QFileInfo(port).canonicalFilePath();
    return device.isEmpty() ? port : device;
}

QString PortLocation(const QString &portName)
{
    const bool path = portName.startsWith(QLatin1Char('/'))
        || portName.startsWith(QLatin1String("./")) || portName.startsWith(QLatin1String("../"));
    return path ? portName : QStringLiteral("/dev/") + portName;
}

QStringList LockFolders()
{
    // Qt Serial Port's own list (6.4 to 6.8), the temporary folder last.
    return { QStringLiteral("/var/lock"), QStringLiteral("/etc/locks"),
        QStringLiteral("/var/spool/locks"), QStringLiteral("/var/spool/uucp"),
        QStringLiteral("/tmp"), QStringLiteral("/var/tmp"), QStringLiteral("/var/lock/lockdev"),
        QStringLiteral("/run/lock"),
        QStandardPaths::writableLocation(QStandardPaths::TempLocation) };
}

QString LockFileName(const QString &location)
{
    QString name = location;
    if (name.startsWith(QLatin1String("/dev/")))
        name.remove(0, 5);
    return QStringLiteral("LCK..") + name.replace(QLatin1Char('/'), QLatin1Char('_'));
}

QString QtLockFilePath(const QString &location)
{
    const QStringList folders = LockFolders();
    for (const QString &folder : folders) {
        const QFileInfo info(folder);
        if (info.isReadable() && info.isWritable())
            return folder + QLatin1Char('/') + LockFileName(location);
    }
    return {};
}

LockFileKind InspectLockFile(const QString &path)
{
    struct stat info = {};
    // Whatever lstat cannot see, Qt's open cannot reach either.
    if (path.isEmpty() || ::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return LockFileKind::Absent;
    if (S_ISLNK(info.st_mode))
        return LockFileKind::Link;
    if (S_ISFIFO(info.st_mode))
        return LockFileKind::NamedPipe;
    if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode))
        return LockFileKind::Device;
    if (S_ISSOCK(info.st_mode))
        return LockFileKind::Socket;
    if (S_ISDIR(info.st_mode))
        return LockFileKind::Folder;
    return info.st_size > kMaxLockFileBytes ? LockFileKind::TooLarge : LockFileKind::Usable;
}
