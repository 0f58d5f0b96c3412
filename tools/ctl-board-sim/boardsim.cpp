// The simulated board's public functions: start and stop, the table, the log and the knobs.
#include "boardsim.h"

#include "boardsimprivate.h"
#include "boardtable.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kSendRawTimeoutMs = 1000;

} // namespace

CtlBoardSim::CtlBoardSim()
    : d(std::make_unique<Private>())
{
}

CtlBoardSim::~CtlBoardSim() { stop(); }

bool CtlBoardSim::start()
{
    {
        std::lock_guard lock(d->m_mutex);
        if (d->m_thread.joinable() && !d->m_hungUp)
            return true;
    }
    stop();

    std::lock_guard lock(d->m_mutex);
    if (!d->openLine())
        return false;
    d->resetServingState();
    d->m_thread = std::thread([this] { d->serve(); });
    return true;
}

void CtlBoardSim::setLine(Line line, const QString &path)
{
    std::lock_guard lock(d->m_mutex);
    d->m_line = line;
    d->m_linePath = path;
}

void CtlBoardSim::stop()
{
    {
        std::lock_guard lock(d->m_mutex);
        d->m_stopRequested = true;
        d->wakeLocked();
    }
    if (d->m_thread.joinable())
        d->m_thread.join();
    std::lock_guard lock(d->m_mutex);
    d->closeFds();
}

QString CtlBoardSim::portPath() const
{
    std::lock_guard lock(d->m_mutex);
    return d->m_portPath;
}

QString CtlBoardSim::errorString() const
{
    std::lock_guard lock(d->m_mutex);
    return d->m_errorString;
}

void CtlBoardSim::setParameters(const QList<BoardParameter> &parameters)
{
    std::lock_guard lock(d->m_mutex);
    d->m_table = parameters;
}

QList<BoardParameter> CtlBoardSim::parameters() const
{
    std::lock_guard lock(d->m_mutex);
    return d->m_table;
}

void CtlBoardSim::generateParameters(int lastPage)
{
    setParameters(generatedBoardParameters(lastPage));
}

bool CtlBoardSim::loadNvr(const QString &path)
{
    QList<BoardParameter> table;
    QString error;
    const bool ok = readNvrTable(path, table, error);
    std::lock_guard lock(d->m_mutex);
    if (ok)
        d->m_table = table;
    else
        d->m_errorString = error;
    return ok;
}

bool CtlBoardSim::saveNvr(const QString &path) const
{
    QString error;
    std::lock_guard lock(d->m_mutex);
    const bool ok = writeNvrTable(path, d->m_table, error);
    if (!ok)
        d->m_errorString = error;
    return ok;
}

void CtlBoardSim::setSaveOnEndOfWrite(const QString &path)
{
    std::lock_guard lock(d->m_mutex);
    d->m_saveOnEndPath = path;
}

QList<ReceivedCommand> CtlBoardSim::commands() const
{
    std::lock_guard lock(d->m_mutex);
    return d->m_log;
}

QList<QByteArray> CtlBoardSim::commandBytes() const
{
    std::lock_guard lock(d->m_mutex);
    QList<QByteArray> bytes;
    for (const ReceivedCommand &command : std::as_const(d->m_log))
        bytes.append(command.bytes);
    return bytes;
}

void CtlBoardSim::clearCommands()
{
    std::lock_guard lock(d->m_mutex);
    d->m_log.clear();
}

bool CtlBoardSim::waitForCommandCount(int count, int timeoutMs) const
{
    std::unique_lock lock(d->m_mutex);
    return d->m_logChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
        [this, count] { return d->m_log.size() >= count; });
}

void CtlBoardSim::setLatencyMs(int ms)
{
    std::lock_guard lock(d->m_mutex);
    d->m_latencyMs = qMax(0, ms);
}

void CtlBoardSim::setLinePacing(bool on)
{
    std::lock_guard lock(d->m_mutex);
    d->m_linePacing = on;
}

void CtlBoardSim::setTrickleMs(int ms)
{
    std::lock_guard lock(d->m_mutex);
    d->m_trickleMs = qMax(0, ms);
}

void CtlBoardSim::setSilent(bool on)
{
    std::lock_guard lock(d->m_mutex);
    d->m_silent = on;
}

void CtlBoardSim::setSilentAfterCommands(int commands)
{
    std::lock_guard lock(d->m_mutex);
    d->m_silentAfterCommands = commands >= 0 ? commands : -1;
    d->m_commandsTowardsSilence = 0;
}

void CtlBoardSim::setSilentEvery(int n)
{
    std::lock_guard lock(d->m_mutex);
    d->m_silentEvery = qMax(0, n);
    d->m_commandsTowardsSilentEvery = 0;
}

void CtlBoardSim::setAnswerOverride(const QByteArray &command, const QByteArray &answer)
{
    std::lock_guard lock(d->m_mutex);
    d->m_overrides.insert(command, answer);
}

void CtlBoardSim::clearAnswerOverrides()
{
    std::lock_guard lock(d->m_mutex);
    d->m_overrides.clear();
}

void CtlBoardSim::setStallAfterBytes(int bytes)
{
    std::lock_guard lock(d->m_mutex);
    d->m_stallAfterBytes = bytes;
}

void CtlBoardSim::setJunkBeforeAnswer(const QByteArray &junk)
{
    std::lock_guard lock(d->m_mutex);
    d->m_junk = junk;
}

void CtlBoardSim::setTrailingBytes(const QByteArray &bytes)
{
    std::lock_guard lock(d->m_mutex);
    d->m_trailing = bytes;
}

void CtlBoardSim::setHangUpAfterCommands(int commands, int answerBytesFirst)
{
    std::lock_guard lock(d->m_mutex);
    d->m_hangUpNow = commands == 0;
    d->m_hangUpAfterCommands = commands > 0 ? commands : -1;
    d->m_hangUpAnswerBytes = qMax(0, answerBytesFirst);
    d->m_commandsTowardsHangUp = 0;
    d->wakeLocked();
}

void CtlBoardSim::sendRaw(const QByteArray &bytes)
{
    std::lock_guard lock(d->m_mutex);
    qsizetype sent = 0;
    const auto deadline = BoardClock::now() + std::chrono::milliseconds(kSendRawTimeoutMs);
    while (d->m_lineFd >= 0 && sent < bytes.size() && BoardClock::now() < deadline) {
        const ssize_t written
            = ::write(d->m_lineFd, bytes.constData() + sent, size_t(bytes.size() - sent));
        if (written > 0) {
            sent += written;
        } else if (written < 0 && errno == EAGAIN) {
            pollfd writable { d->m_lineFd, POLLOUT, 0 };
            poll(&writable, 1, 10);
        } else if (written < 0 && errno != EINTR) {
            return;
        }
    }
}

bool CtlBoardSim::isHungUp() const
{
    std::lock_guard lock(d->m_mutex);
    return d->m_hungUp;
}

void CtlBoardSim::setObserver(Observer observer)
{
    std::lock_guard lock(d->m_mutex);
    d->m_observer = std::move(observer);
}

bool placeBoardLink(const QString &linkPath, const QString &target)
{
    if (!QDir().mkpath(QFileInfo(linkPath).absolutePath()))
        return false;
    const QByteArray link = QFile::encodeName(linkPath);
    struct stat status { };
    if (::lstat(link.constData(), &status) == 0) {
        if (!S_ISLNK(status.st_mode) || ::unlink(link.constData()) < 0)
            return false;
    }
    return ::symlink(QFile::encodeName(target).constData(), link.constData()) == 0;
}

QByteArray printableBytes(const QByteArray &bytes)
{
    QByteArray text;
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7F && c != '\\')
            text.append(c);
        else
            text.append("\\x" + QByteArray::number(u, 16).rightJustified(2, '0'));
    }
    return text;
}
