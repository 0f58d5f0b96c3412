// What the transfer suites share, without a window.
#include "transfertestsupport.h"

#include "link/seriallink.h"
#include "nvram/nvrformat.h"

#include <QFile>
#include <QMutex>
#include <QMutexLocker>

LinkTimings shortTimings()
{
    LinkTimings timings;
    timings.pollIntervalMs = 300;
    timings.responseWindowMs = 300;
    timings.answerCompletionMs = 300;
    return timings;
}

bool openLink(SerialLink &link, const CtlBoardSim &board)
{
    link.port().setPortName(board.portPath());
    return link.open();
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArrayLiteral("<cannot open>");
    return file.readAll();
}

void writeTestFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

QByteArray expectedNvrFile(const QList<BoardParameter> &table, int pageCount)
{
    // The format itself is pinned by the golden files; here it only has to match them.
    QString text = NvrHeaderLine() + QLatin1Char('\n');
    for (int page = 0; page < pageCount; ++page) {
        text += NvrDataLine(
                    PageNumberToHex(page, 4), table.at(page).value, table.at(page).description)
            + QLatin1Char('\n');
    }
    return text.toUtf8();
}

namespace {

QMutex linesMutex;
QStringList lines;

void collectDebugLine(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg)
        return;
    QMutexLocker locker(&linesMutex);
    lines.append(message);
}

} // namespace

DebugLines::DebugLines()
{
    QMutexLocker locker(&linesMutex);
    lines.clear();
    m_previous = qInstallMessageHandler(collectDebugLine);
}

DebugLines::~DebugLines() { qInstallMessageHandler(m_previous); }

bool DebugLines::contains(const QString &line) const
{
    QMutexLocker locker(&linesMutex);
    return lines.contains(line);
}
