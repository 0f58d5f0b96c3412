// The polling cycle: greeting and polling the board, and closing the link.
#include "pollingcycle.h"

#include "link/frame.h"
#include "link/seriallink.h"

#include <QTimer>

PollingCycle::PollingCycle(SerialLink &link, QObject *parent)
    : QObject(parent)
    , m_link(link)
{
    mainPollingTimer = new QTimer(this);
    connect(mainPollingTimer, SIGNAL(timeout()), this, SLOT(MainPollingTimerElapsed()));
}

void PollingCycle::start()
{
    m_pollsUnanswered = 0;
    pollState = 1;
    mainPollingTimer->start(m_link.timings().pollIntervalMs);
}

void PollingCycle::pause()
{
    mainPollingTimer->stop();
    m_pollsUnanswered = 0;
}

void PollingCycle::resume() { mainPollingTimer->start(m_link.timings().pollIntervalMs); }

void PollingCycle::MainPollingTimerElapsed()
{
    // The read-failure box runs a modal loop inside an exchange. Qt holds this timer back only
    // while one of its own ticks runs, so inside an exchange started elsewhere a tick would
    // start a second exchange on the same port and response buffer.
    if (m_link.exchangeInProgress())
        return;

    if (!m_link.deviceWasLost()) {
        if (disconnectRequested) {
            m_link.exchange(kGreeting);
            m_link.close();
            disconnectRequested = false;
            pollState = 3;
        }
        RunPollState();
    }
    // A lost device has been reported when it was found, and its port is closed; a silent
    // board is reported here.
    if (m_link.deviceWasLost()) {
        DropLink();
    } else if (!m_link.port().isOpen()) {
        return;
    } else if (m_pollsUnanswered >= kUnansweredLimit) {
        const QString port = m_link.port().portName();
        DropLink();
        emit boardSilent(port);
    }
}

void PollingCycle::RunPollState()
{
    switch (pollState) {
    case 1:
        ConnectHandshake();
        pollState = 2;
        break;
    case 2:
        if (statusPollCountdown > 0) {
            --statusPollCountdown;
        } else {
            StatusPoll();
            statusPollCountdown = 1;
        }
        break;
    case 3:
        ResetToDisconnected();
        pollState = 0;
        break;
    default:
        break;
    }
}

void PollingCycle::ConnectHandshake()
{
    PollExchange(kGreeting);
    emit handshakeDone();
}

void PollingCycle::StatusPoll() { PollExchange(kStatusQuery); }

void PollingCycle::PollExchange(const QString &command)
{
    m_pollsUnanswered = IsCompleteAnswer(m_link.exchange(command)) ? 0 : m_pollsUnanswered + 1;
}

void PollingCycle::DropLink()
{
    m_link.close();
    disconnectRequested = false;
    m_pollsUnanswered = 0;
    ResetToDisconnected();
}

void PollingCycle::ResetToDisconnected()
{
    pollState = 0;
    mainPollingTimer->stop();
    emit disconnected();
}
