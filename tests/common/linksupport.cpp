// Test support without widgets.
#include "linksupport.h"

#include <QMutex>
#include <QMutexLocker>

#include <algorithm>
#include <sys/resource.h>

bool openLink(SerialLink &link, const QString &path)
{
    link.port().setPortName(path);
    return link.open();
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
