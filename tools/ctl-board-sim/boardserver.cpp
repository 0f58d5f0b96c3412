// The simulated board's line (its pty, a device or a socket) and the thread that serves it:
// framing, logging and answer timing.
#include "boardsimprivate.h"

#include "boardprotocol.h"

#include "link/frame.h"

#include <QFile>

#include <cstdint>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = BoardClock;

// Ten bits (start, eight data, stop) at the board's line rate.
constexpr std::chrono::nanoseconds kBytePeriod { 1'000'000'000LL * 10 / kBaudRate };
constexpr std::chrono::milliseconds kFrameIdleLimit { 50 };
// A hangup flushes whatever the slave has not read yet, so the hang-up waits for the program to
// take the bytes sent before it: the queue must be empty and the kernel given time to move the
// last bytes into it; a program that reads nothing gets its hang-up after the limit all the same.
constexpr std::chrono::milliseconds kHangUpSettle { 10 };
constexpr std::chrono::milliseconds kHangUpDrainLimit { 1000 };

qint64 monotonicMs()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

void closeFd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// Each returns the step that failed, with errno set, or nullptr.
const char *openOwnPty(int &master, int &slave, QString &slavePath)
{
    char name[PATH_MAX] = {};
    termios settings {};
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) < 0)
        return "openpty";
    if (tcgetattr(slave, &settings) < 0)
        return "tcgetattr";
    // Raw before the program can open the slave, so that nothing is echoed or translated.
    cfmakeraw(&settings);
    // glibc takes the rate as a number as well as a B constant.
    cfsetspeed(&settings, kBaudRate);
    if (tcsetattr(slave, TCSANOW, &settings) < 0)
        return "tcsetattr";
    if (fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK) < 0
        || fcntl(master, F_SETFD, FD_CLOEXEC) < 0 || fcntl(slave, F_SETFD, FD_CLOEXEC) < 0)
        return "fcntl";
    if (ptsname_r(master, name, sizeof name) != 0)
        return "ptsname_r";
    slavePath = QString::fromLocal8Bit(name);
    return nullptr;
}

// The board's UART: raw 8N1 at its rate, no flow control, the modem lines ignored.
const char *openDevice(const QByteArray &path, int &fd)
{
    fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return "open";
    termios settings {};
    if (tcgetattr(fd, &settings) < 0)
        return "tcgetattr";
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cflag &= ~CRTSCTS;
    cfsetspeed(&settings, kBaudRate);
    if (tcsetattr(fd, TCSANOW, &settings) < 0)
        return "tcsetattr";
    // What came in before the board was there is not meant for it.
    tcflush(fd, TCIOFLUSH);
    return nullptr;
}

const char *connectSocket(const QByteArray &path, int &fd)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (size_t(path.size()) >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return "connect";
    }
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return "socket";
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) < 0)
        return "connect";
    if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) < 0)
        return "fcntl";
    return nullptr;
}

} // namespace

void CtlBoardSim::Private::wakeLocked() const
{
    if (m_wakeFd < 0)
        return;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_wakeFd, &one, sizeof one);
}

bool CtlBoardSim::Private::openLine()
{
    int line = -1;
    int slave = -1;
    QString portPath = m_linePath;
    const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    const char *failedStep = nullptr;
    if (wake < 0)
        failedStep = "eventfd";
    else if (m_line == Line::OwnPty)
        failedStep = openOwnPty(line, slave, portPath);
    else if (m_line == Line::Device)
        failedStep = openDevice(QFile::encodeName(m_linePath), line);
    else
        failedStep = connectSocket(QFile::encodeName(m_linePath), line);
    if (failedStep) {
        const int error = errno;
        m_errorString = QLatin1String(failedStep)
            + (wake < 0 || m_line == Line::OwnPty ? QString() : QLatin1Char(' ') + m_linePath)
            + QStringLiteral(": ") + QString::fromLocal8Bit(strerror(error));
        for (int fd : { line, slave, wake }) {
            if (fd >= 0)
                ::close(fd);
        }
        return false;
    }
    m_lineFd = line;
    m_slaveFd = slave;
    m_wakeFd = wake;
    m_portPath = portPath;
    m_errorString.clear();
    return true;
}

void CtlBoardSim::Private::resetServingState()
{
    m_stopRequested = false;
    m_hungUp = false;
    m_commandsTowardsHangUp = 0;
    m_commandsTowardsSilence = 0;
    m_commandsTowardsSilentEvery = 0;
    m_frame.clear();
    m_frameOpen = false;
    m_outgoing.clear();
    m_lineFreeAt = Clock::time_point();
    m_waitWritable = false;
    m_hangUpScheduled = false;
}

void CtlBoardSim::Private::closeFds()
{
    closeFd(m_lineFd);
    closeFd(m_slaveFd);
    closeFd(m_wakeFd);
}

void CtlBoardSim::Private::serve()
{
    if (!takeWakeRequests())
        return;
    for (;;) {
        if (!writeDue())
            return;
        pollfd fds[2] = { { m_lineFd, short(POLLIN | (m_waitWritable ? POLLOUT : 0)), 0 },
            { m_wakeFd, POLLIN, 0 } };
        timespec timeout {};
        if (ppoll(fds, 2, nextTimeout(timeout), nullptr) < 0 && errno != EINTR)
            return;
        if (fds[1].revents & POLLIN) {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t got = ::read(m_wakeFd, &count, sizeof count);
            if (!takeWakeRequests())
                return;
        }
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) && !readInput())
            return;
        if (m_frameOpen && Clock::now() - m_lastByteAt >= kFrameIdleLimit)
            finishFrame(false);
    }
}

bool CtlBoardSim::Private::takeWakeRequests()
{
    std::lock_guard lock(m_mutex);
    if (m_stopRequested)
        return false;
    if (m_hangUpNow) {
        m_hangUpNow = false;
        m_outgoing.clear();
        const auto now = Clock::now();
        m_outgoing.push_back({ now, {}, true, now + kHangUpDrainLimit });
        m_hangUpScheduled = true;
    }
    return true;
}

const timespec *CtlBoardSim::Private::nextTimeout(timespec &timeout) const
{
    bool any = false;
    Clock::time_point wakeAt;
    if (!m_outgoing.empty() && !m_waitWritable) {
        wakeAt = m_outgoing.front().due;
        any = true;
    }
    if (m_frameOpen && (!any || m_lastByteAt + kFrameIdleLimit < wakeAt)) {
        wakeAt = m_lastByteAt + kFrameIdleLimit;
        any = true;
    }
    if (!any)
        return nullptr;
    const auto wait = std::max(Clock::duration::zero(), wakeAt - Clock::now());
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
    timeout.tv_sec = time_t(ns / 1'000'000'000);
    timeout.tv_nsec = long(ns % 1'000'000'000);
    return &timeout;
}

// False once the line is hung up.
bool CtlBoardSim::Private::writeDue()
{
    m_waitWritable = false;
    const auto now = Clock::now();
    while (!m_outgoing.empty() && m_outgoing.front().due <= now) {
        BoardOutgoing &next = m_outgoing.front();
        if (!next.bytes.isEmpty()) {
            std::lock_guard lock(m_mutex);
            const ssize_t written
                = ::write(m_lineFd, next.bytes.constData(), size_t(next.bytes.size()));
            if (written < 0 && errno == EAGAIN) {
                m_waitWritable = true;
                return true;
            }
            if (written < 0 && errno != EINTR)
                next.bytes.clear();
            else if (written > 0)
                next.bytes.remove(0, written);
            if (!next.bytes.isEmpty())
                continue;
        }
        if (next.hangUp) {
            int unread = 0;
            if (now < next.giveUpDraining && ioctl(m_slaveFd, FIONREAD, &unread) == 0
                && unread > 0) {
                next.due = now + kHangUpSettle;
                return true;
            }
            std::lock_guard lock(m_mutex);
            closeFd(m_lineFd);
            m_hungUp = true;
            m_outgoing.clear();
            return false;
        }
        m_outgoing.pop_front();
    }
    return true;
}

// False once the far end of a device or a socket has gone.
bool CtlBoardSim::Private::readInput()
{
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(m_lineFd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        const bool failed = got == 0 || (got < 0 && errno != EAGAIN);
        if (failed && m_slaveFd < 0) {
            std::lock_guard lock(m_mutex);
            closeFd(m_lineFd);
            m_hungUp = true;
            m_outgoing.clear();
            return false;
        }
        if (failed) {
            // Not expected while the simulator holds the slave open; do not spin on it.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (got <= 0)
            return true;
        const auto at = Clock::now();
        const qint64 atMs = monotonicMs();
        for (ssize_t i = 0; i < got; ++i)
            takeByte(buffer[i], at, atMs);
    }
}

void CtlBoardSim::Private::takeByte(char byte, Clock::time_point at, qint64 atMs)
{
    if (byte == '$') {
        if (m_frameOpen)
            finishFrame(false);
        m_frameOpen = true;
    } else if (!m_frameOpen) {
        return;
    }
    m_frame.append(byte);
    m_lastByteAt = at;
    m_lastByteMs = atMs;
    if (byte == '%')
        finishFrame(true);
}

void CtlBoardSim::Private::finishFrame(bool terminated)
{
    const ReceivedCommand command { m_frame, m_lastByteMs, terminated };
    m_frame.clear();
    m_frameOpen = false;

    const bool answered = terminated && !m_hangUpScheduled;
    QByteArray wire;
    bool hangUp = false;
    int latencyMs = 0;
    Clock::duration spacing {};
    Observer observer;
    {
        std::lock_guard lock(m_mutex);
        m_log.append(command);
        observer = m_observer;
        if (answered) {
            QByteArray answer = answerBoardCommand(command.bytes, m_table, m_saveOnEndPath);
            answer = m_overrides.value(command.bytes, answer);
            bool whole = true;
            if (m_stallAfterBytes >= 0 && answer.size() > m_stallAfterBytes) {
                answer.truncate(m_stallAfterBytes);
                whole = false;
            }
            if (m_hangUpAfterCommands > 0 && ++m_commandsTowardsHangUp >= m_hangUpAfterCommands) {
                hangUp = true;
                m_hangUpAfterCommands = -1;
                answer.truncate(m_hangUpAnswerBytes);
                whole = false;
            }
            bool silent = m_silent;
            if (m_silentAfterCommands >= 0) {
                if (m_commandsTowardsSilence < m_silentAfterCommands)
                    ++m_commandsTowardsSilence;
                else
                    silent = true;
            }
            if (m_silentEvery > 0 && ++m_commandsTowardsSilentEvery >= m_silentEvery) {
                m_commandsTowardsSilentEvery = 0;
                silent = true;
            }
            if (!silent)
                wire = m_junk + answer + (whole ? m_trailing : QByteArray());
            latencyMs = m_latencyMs;
            spacing
                = std::max<Clock::duration>(m_linePacing ? kBytePeriod : Clock::duration::zero(),
                    std::chrono::milliseconds(m_trickleMs));
        }
    }
    m_logChanged.notify_all();
    if (answered)
        schedule(wire, hangUp, latencyMs, spacing);
    if (observer)
        observer(command, wire);
}

void CtlBoardSim::Private::schedule(
    const QByteArray &wire, bool hangUp, int latencyMs, Clock::duration spacing)
{
    const auto start = std::max(m_lastByteAt + std::chrono::milliseconds(latencyMs), m_lineFreeAt);
    if (spacing > Clock::duration::zero()) {
        for (qsizetype i = 0; i < wire.size(); ++i)
            m_outgoing.push_back({ start + i * spacing, wire.mid(i, 1), false, {} });
        m_lineFreeAt = start + wire.size() * spacing;
    } else {
        if (!wire.isEmpty())
            m_outgoing.push_back({ start, wire, false, {} });
        m_lineFreeAt = start;
    }
    if (hangUp) {
        const auto closeAt = m_lineFreeAt + kHangUpSettle;
        m_outgoing.push_back({ closeAt, {}, true, closeAt + kHangUpDrainLimit });
        m_hangUpScheduled = true;
    }
}
