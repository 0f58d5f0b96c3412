// Test support without widgets.
#include "linksupport.h"

#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

bool openLink(SerialLink &link, const QString &path)
{
    link.setPortName(path);
    return link.open();
}

QString usePrivateLockFolder()
{
    const auto systemError = [] { return QString::fromLocal8Bit(std::strerror(errno)); };
    if (::geteuid() != 0)
        return QStringLiteral("a private lock folder needs root");
    if (::unshare(CLONE_NEWNS) != 0)
        return QStringLiteral("no mount namespace of its own: ") + systemError();
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return QStringLiteral("the mounts cannot be made private: ") + systemError();
    const QString folder = QFileInfo(QStringLiteral("/var/lock")).canonicalFilePath();
    if (folder.isEmpty())
        return QStringLiteral("there is no /var/lock");
    if (::mount("tmpfs", QFile::encodeName(folder).constData(), "tmpfs", 0, nullptr) != 0)
        return QStringLiteral("no tmpfs over %1: ").arg(folder) + systemError();
    return {};
}

double threadCpuSeconds()
{
    rusage usage = {};
    getrusage(RUSAGE_THREAD, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

namespace {

QMutex captureMutex;
QStringList captured;

void captureHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg)
        return;
    QMutexLocker locker(&captureMutex);
    captured.append(message);
}

} // namespace

DebugCapture::DebugCapture()
{
    QMutexLocker locker(&captureMutex);
    captured.clear();
    m_previous = qInstallMessageHandler(captureHandler);
}

DebugCapture::~DebugCapture() { qInstallMessageHandler(m_previous); }

QStringList DebugCapture::lines() const
{
    QMutexLocker locker(&captureMutex);
    return captured;
}

int DebugCapture::commandsWritten() const
{
    const QStringList all = lines();
    return int(std::count_if(all.cbegin(), all.cend(),
        [](const QString &line) { return line.startsWith(QLatin1String("WriteCommand:")); }));
}
