// Which program holds a serial port: its lock file, or /proc.
#include "portholder.h"

#include "link/lockfile.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cerrno>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The lock file that a program holding the node has left, in the first folder that has one: a
// holder of another account may have found another folder writable than this process does.
QString existingLockFile(const QString &location)
{
    const QString name = LockFileName(location);
    const QStringList folders = LockFolders();
    for (const QString &folder : folders) {
        const QString path = folder + QLatin1Char('/') + name;
        if (QFileInfo(path).isFile())
            return path;
    }
    return {};
}

QString processName(qint64 pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(comm.readLine(64).trimmed());
}

// A process other than this one with the node open, as far as /proc shows it (only this
// user's processes, unless root).
qint64 processHolding(const QString &location)
{
    const QString node = QFileInfo(location).canonicalFilePath();
    if (node.isEmpty())
        return 0;
    const QStringList processes = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : processes) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
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
    qint64 pid = lockFile.isEmpty() ? 0 : LockFileOwner(lockFile);
    // A lock file whose program has ended holds nothing; a program that keeps the node open
    // without a lock file still does.
    if (pid == 0 || !ProcessRuns(pid))
        pid = processHolding(location);
    if (pid == 0)
        return std::nullopt;
    return PortHolderProcess { pid, processName(pid) };
}

// Qt's and the older UUCP style both start with the process id. The lock folders are writable
// by all, so the file is read without blocking, and only if it is a regular file.
qint64 LockFileOwner(const QString &path)
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
    return ok && pid > 0 && pid <= 0x3fffffff ? pid : 0;
}

bool ProcessRuns(qint64 pid) { return ::kill(pid_t(pid), 0) == 0 || errno == EPERM; }
