// Saving a read in the shared folder without writing through a link or losing a backup.
#include "backupfile.h"

#include "nvram/nvrformat.h"
#include "nvram/transfermessages.h"

#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A temporary is named "." + file name + "." + six random characters: hidden, and never a name
// typed for a read, since those may not start with ".". It is the longest name a read makes,
// longer than NAME~.
constexpr int kRandomCharacters = 6;
static_assert(kLongestSavedName == NAME_MAX - 2 - kRandomCharacters);

constexpr mode_t kPermissionBits = S_IRWXU | S_IRWXG | S_IRWXO;

QByteArray encoded(const QString &path) { return QFile::encodeName(path); }

QString systemError() { return qt_error_string(errno); }

// Created exclusively, so never through a link planted under the name, and with the mode of any
// new file (0666 less the umask), so that colleagues in the group can read it.
int createTemporary(const QString &path, QString &temporaryPath)
{
    static const char kCharacters[]
        = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    const QFileInfo info(path);
    for (int attempt = 0; attempt < 100; ++attempt) {
        QString suffix;
        for (int i = 0; i < kRandomCharacters; ++i) {
            suffix += QLatin1Char(
                kCharacters[QRandomGenerator::global()->bounded(int(sizeof kCharacters) - 1)]);
        }
        temporaryPath
            = info.path() + QStringLiteral("/.") + info.fileName() + QLatin1Char('.') + suffix;
        const int fd = ::open(
            encoded(temporaryPath).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

bool writeAll(int fd, const char *data, ssize_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size_t(size));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            // No progress without an error of its own: the disk takes no more.
            if (written == 0)
                errno = ENOSPC;
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

QString unreplaceableKind(mode_t mode)
{
    return S_ISREG(mode) || S_ISLNK(mode) ? QString() : FileKindText(mode);
}

// Copies the open file from to a new temporary beside path with the given permission bits, syncs
// it and renames it to target.
bool copyTo(int from, const QString &path, const QString &target, mode_t mode, QString &error)
{
    QString temporaryPath;
    const int to = createTemporary(path, temporaryPath);
    if (to < 0) {
        error = systemError();
        return false;
    }
    bool ok = true;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(from, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0 || !writeAll(to, buffer, got)) {
            ok = got == 0;
            break;
        }
    }
    ok = ok && ::fchmod(to, mode) == 0 && ::fsync(to) == 0;
    if (!ok)
        error = systemError();
    if (::close(to) != 0 && ok) {
        error = systemError();
        ok = false;
    }
    if (ok && std::rename(encoded(temporaryPath).constData(), encoded(target).constData()) != 0) {
        error = systemError();
        ok = false;
    }
    if (!ok)
        ::unlink(encoded(temporaryPath).constData());
    return ok;
}

} // namespace

QString NvramSavePath(const QString &directory, const QString &typedName, QString &problem)
{
    QString name = typedName;
    if (name.endsWith(kNvramExtension))
        name.chop(kNvramExtension.size());
    problem = TypedNameProblem(
        directory, typedName, name, kLongestSavedName - kNvramExtension.toUtf8().size());
    return problem.isEmpty() ? directory + name + kNvramExtension : QString();
}

bool NameIsTaken(const QString &path)
{
    struct stat info { };
    return ::lstat(encoded(path).constData(), &info) == 0;
}

QString UnreplaceableKind(const QString &path)
{
    struct stat info { };
    return ::lstat(encoded(path).constData(), &info) == 0 ? unreplaceableKind(info.st_mode)
                                                          : QString();
}

BackupFile::BackupFile(const QString &path)
    : m_path(path)
{
}

BackupFile::~BackupFile()
{
    m_file.close();
    if (!m_temporaryPath.isEmpty())
        ::unlink(encoded(m_temporaryPath).constData());
}

// QSaveFile is not used: it follows a link under the name and writes the file it points to,
// which in a folder that the whole group can write may be a colleague's private file.
bool BackupFile::open()
{
    const int fd = createTemporary(m_path, m_temporaryPath);
    if (fd < 0) {
        m_error = systemError();
        m_temporaryPath.clear();
        return false;
    }
    return m_file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle);
}

bool BackupFile::syncAndClose()
{
    if (!m_file.flush()) {
        m_error = m_file.errorString();
        return false;
    }
    if (::fsync(m_file.handle()) != 0) {
        m_error = systemError();
        return false;
    }
    m_file.close();
    return true;
}

bool BackupFile::commit()
{
    // A private backup stays private. Set while the file is open: by name, a link planted in
    // its place would be followed.
    struct stat previous { };
    if (::lstat(encoded(m_path).constData(), &previous) == 0 && S_ISREG(previous.st_mode)
        && ::fchmod(m_file.handle(), previous.st_mode & kPermissionBits) != 0) {
        m_error = systemError();
        return false;
    }
    if (!syncAndClose())
        return false;
    if (!keepPrevious()) {
        m_keepingPreviousFailed = true;
        return false;
    }
    // rename replaces a link under the name itself, never what it points to.
    if (std::rename(encoded(m_temporaryPath).constData(), encoded(m_path).constData()) != 0) {
        m_error = systemError();
        return false;
    }
    m_temporaryPath.clear();
    return true;
}

// link() never replaces a name, where rename() would: two saves that meet on one name must not
// lose either file.
bool BackupFile::commitAsNew()
{
    if (!syncAndClose())
        return false;
    if (::link(encoded(m_temporaryPath).constData(), encoded(m_path).constData()) != 0) {
        m_nameTaken = errno == EEXIST;
        m_error = systemError();
        return false;
    }
    ::unlink(encoded(m_temporaryPath).constData());
    m_temporaryPath.clear();
    return true;
}

QString BackupFile::errorString() const
{
    return m_error.isEmpty() ? m_file.errorString() : m_error;
}

// The file under the name stays until the new one is renamed over it, so there is always one;
// its copy is made first. Only a regular file, opened without following a link, is copied: a
// copy made through a planted link would leak what it points to into a file the group can read,
// and a hard link could fail on a colleague's file. A link is replaced without a copy; a device,
// a pipe, a socket or a folder is not replaced at all (it is looked at before it is opened, as
// opening a device can act on it). A file that cannot be copied (a full disk, no permission to
// read it) stops the save, since replacing it would lose the only copy.
bool BackupFile::keepPrevious()
{
    struct stat info { };
    if (::lstat(encoded(m_path).constData(), &info) != 0) {
        if (errno == ENOENT)
            return true;
        m_error = systemError();
        return false;
    }
    const QString kind = unreplaceableKind(info.st_mode);
    if (!kind.isEmpty()) {
        m_error = NotReplacedText(kind);
        return false;
    }
    if (S_ISLNK(info.st_mode))
        return true;
    const int fd
        = ::open(encoded(m_path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ELOOP)
            return true;
        m_error = systemError();
        return false;
    }
    bool ok = ::fstat(fd, &info) == 0;
    if (!ok) {
        m_error = systemError();
    } else if (!S_ISREG(info.st_mode)) {
        m_error = NotReplacedText(unreplaceableKind(info.st_mode));
        ok = false;
    } else {
        ok = copyTo(fd, m_path, m_path + QLatin1Char('~'), info.st_mode & kPermissionBits, m_error);
    }
    ::close(fd);
    return ok;
}
