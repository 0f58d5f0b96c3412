// Single-instance guard: the first instance of an id holds a per-user file lock until it exits.
#include "qtsingleapplication.h"

#include <QDebug>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t kLockMode = S_ISVTX | S_IRUSR | S_IWUSR;

// The runtime directory counts only when it is this user's and nobody else may write in it
// (sudo may pass on the invoking user's); otherwise the temporary directory, where the uid in the
// file name keeps users apart.
QString lockDirectory()
{
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    struct stat info { };
    if (runtime.startsWith('/') && ::stat(runtime.constData(), &info) == 0 && S_ISDIR(info.st_mode)
        && info.st_uid == ::getuid() && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0)
        return QFile::decodeName(runtime);
    return QDir::tempPath();
}

QString systemError(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

} // namespace

QString singleInstanceLockPath(const QString &id)
{
    return lockDirectory() + QLatin1Char('/') + id + QStringLiteral("-uid")
        + QString::number(::getuid()) + QStringLiteral(".lock");
}

QtSingleApplication::QtSingleApplication(const QString &id, int &argc, char **argv)
    : QApplication(argc, argv)
    , m_id(id)
{
    m_running = !claimInstance();
}

QtSingleApplication::~QtSingleApplication()
{
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

bool QtSingleApplication::isRunning() const { return m_running; }

QString QtSingleApplication::id() const { return m_id; }

// Returns false only when another instance of this user holds the lock. The lock belongs to the
// open file, not to an event loop, so an instance busy in a long transfer still holds it; the
// kernel drops it when its holder dies, so a crashed instance never blocks the next start.
// An open-file-description lock, unlike flock, can be looked at without taking it.
bool QtSingleApplication::claimInstance()
{
    const QString path = singleInstanceLockPath(m_id);
    const int fd = ::open(QFile::encodeName(path).constData(),
        O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0) {
        qDebug() << "single-instance lock" << path << "cannot be opened:" << systemError(errno)
                 << "; starting anyway";
        return true;
    }

    // Someone else's file (planted in a shared temporary directory) is neither trusted nor
    // allowed to keep the tool from starting; this start then runs unguarded.
    struct stat info { };
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::getuid()) {
        qDebug() << "single-instance lock" << path
                 << "is not this user's own file; starting without the guard";
        ::close(fd);
        return true;
    }

    struct flock lock { };
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EAGAIN || error == EACCES)
            return false;
        qDebug() << "single-instance lock" << path << "cannot be taken:" << systemError(error)
                 << "; starting anyway";
        return true;
    }

    // The sticky bit keeps the runtime directory's periodic clean-up away from a held lock file.
    if ((info.st_mode & 07777) != kLockMode && ::fchmod(fd, kLockMode) != 0)
        qDebug() << "single-instance lock" << path << "keeps its mode:" << systemError(errno);
    m_lockFd = fd;
    return true;
}
