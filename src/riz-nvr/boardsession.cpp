// A command-line session with the board.
#include "boardsession.h"

#include "link/frame.h"
#include "link/portmessages.h"
#include "nvrtext.h"

#include <QTextStream>

namespace {

QString clock(qint64 ms)
{
    const qint64 seconds = ms / 1000;
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

void TellRun(const BoardRun &run, const QString &message)
{
    for (const QString &line : message.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        *run.err << QStringLiteral("riz-nvr: ") << line << QLatin1Char('\n');
    run.err->flush();
}

int StatusAfterSignal(const BoardRun &run, int status)
{
    const int signal = run.stopSignal ? run.stopSignal() : 0;
    return signal != 0 ? kExitSignalBase + signal : status;
}

BoardSession::BoardSession(const BoardRun &run, const QString &port)
    : m_run(run)
    , m_link(run.timings)
{
    m_link.setPortName(port);
}

BoardSession::~BoardSession()
{
    clearProgress();
    if (m_greeted && m_link.isLive())
        m_link.exchange(kGreeting);
    m_link.close();
}

std::optional<int> BoardSession::open(int silentStatus)
{
    if (!m_link.open()) {
        tell(m_link.openFailure().causeFirstText());
        return kExitTrouble;
    }
    if (stopRequested())
        return kExitSignalBase + m_stopSignal;
    if (!IsCompleteAnswer(m_link.exchange(kGreeting))) {
        tell(withLostDevice(
            QStringLiteral("the CTL PCB does not answer on %1").arg(EscapedText(portName()))));
        return silentStatus;
    }
    m_greeted = true;
    return std::nullopt;
}

TransferHooks BoardSession::hooks()
{
    m_transferClock.start();
    TransferHooks hooks;
    if (m_run.progress)
        hooks.progress = [this](const QString &text, int percent) { showProgress(text, percent); };
    hooks.stopRequested = [this] { return stopRequested(); };
    return hooks;
}

void BoardSession::tellBoard(const QString &message)
{
    tell(withLostDevice(EscapedText(portName()) + QStringLiteral(": ") + message));
}

// What the link tells of a lost device follows what the command tells of its end.
QString BoardSession::withLostDevice(const QString &message)
{
    if (!m_link.deviceWasLost())
        return message;
    return message + QLatin1Char('\n') + DeviceGoneText(m_link.port().portName());
}

void BoardSession::tell(const QString &message)
{
    clearProgress();
    TellRun(m_run, message);
}

// Once asked for, the stop holds: the farewell is the only exchange that may still follow.
bool BoardSession::stopRequested()
{
    if (m_stopSignal == 0 && m_run.stopSignal)
        m_stopSignal = m_run.stopSignal();
    return m_stopSignal != 0;
}

// The transfer's own text (page, of how many, percent), then the time taken and the time left,
// estimated from the share done.
void BoardSession::showProgress(const QString &text, int percent)
{
    const qint64 elapsed = m_transferClock.elapsed();
    QString line = text + QStringLiteral(", %1 elapsed").arg(clock(elapsed));
    if (percent > 0)
        line += QStringLiteral(", %1 left").arg(clock(elapsed * (100 - percent) / percent));
    // Carriage return and "erase to the end of the line": the line is rewritten in place.
    *m_run.err << QLatin1Char('\r') << line << QStringLiteral("\x1b[K");
    m_run.err->flush();
    m_progressShown = true;
}

void BoardSession::clearProgress()
{
    if (!m_progressShown)
        return;
    *m_run.err << QStringLiteral("\r\x1b[K");
    m_run.err->flush();
    m_progressShown = false;
}
