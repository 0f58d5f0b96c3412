// The polling cycle that keeps the link alive: the greeting after opening, a status poll every
// second tick, the farewell on disconnect, and the end of a link that no longer answers.
#pragma once

#include <QObject>
#include <QString>

class QTimer;
class SerialLink;

class PollingCycle : public QObject {
    Q_OBJECT

public:
    explicit PollingCycle(SerialLink &link, QObject *parent = nullptr);

    // After the port has opened: the greeting goes out at the next tick.
    void start();
    // Sends the farewell and closes the port at the next tick.
    void requestDisconnect() { disconnectRequested = true; }
    bool disconnectIsRequested() const { return disconnectRequested; }
    // A transfer holds polling back while it runs, and lets it go on afterwards.
    void pause();
    void resume();
    // Closes a link that no longer works without sending anything more, so that one COMMS
    // press connects again.
    void DropLink();
    void ResetToDisconnected();

    QTimer &timer() { return *mainPollingTimer; }
    int state() const { return pollState; }
    int countdown() const { return statusPollCountdown; }

signals:
    // The greeting has been sent, answered or not: the link is in use.
    void handshakeDone();
    // The link is closed: after the farewell, a lost device or a silent board.
    void disconnected();
    // Polls in a row went unanswered; the link is closed.
    void boardSilent(const QString &portName);

public slots:
    void MainPollingTimerElapsed();

private:
    void RunPollState();
    void ConnectHandshake();
    void StatusPoll();
    void PollExchange(const QString &command);

    SerialLink &m_link;
    QTimer *mainPollingTimer = nullptr;
    bool disconnectRequested = false;
    int pollState = 0; // 0 idle, 1 handshake due, 2 polling, 3 closing
    int statusPollCountdown = 1; // ticks until the next status poll; its phase survives reconnects
    // Polling exchanges in a row without a complete answer.
    int m_pollsUnanswered = 0;
};
