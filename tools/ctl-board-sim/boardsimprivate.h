// The simulated board's shared state, between its public functions and its serving thread.
#pragma once

#include "boardsim.h"

#include <QHash>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include <ctime>

using BoardClock = std::chrono::steady_clock;

struct BoardOutgoing {
    BoardClock::time_point due;
    QByteArray bytes;
    bool hangUp = false; // close the master once the bytes are out
    BoardClock::time_point giveUpDraining;
};

struct CtlBoardSim::Private {
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_logChanged;

    // Changed only under m_mutex; the serving thread reads the fds without it because it
    // is the only one that changes them while running.
    int m_lineFd = -1; // the pty's master, the device or the socket
    int m_slaveFd = -1; // only for the board's own pty
    int m_wakeFd = -1;
    std::thread m_thread;
    bool m_stopRequested = false;
    bool m_hungUp = false;
    Line m_line = Line::OwnPty;
    QString m_linePath;
    QString m_portPath;
    QString m_errorString;

    QList<BoardParameter> m_table;
    QString m_saveOnEndPath;
    QList<ReceivedCommand> m_log;
    Observer m_observer;

    int m_latencyMs = 0;
    bool m_linePacing = false;
    int m_trickleMs = 0;
    bool m_silent = false;
    int m_silentAfterCommands = -1;
    int m_commandsTowardsSilence = 0;
    int m_silentEvery = 0;
    int m_commandsTowardsSilentEvery = 0;
    QHash<QByteArray, QByteArray> m_overrides;
    int m_stallAfterBytes = -1;
    QByteArray m_junk;
    QByteArray m_trailing;
    int m_hangUpAfterCommands = -1;
    int m_hangUpAnswerBytes = 0;
    int m_commandsTowardsHangUp = 0;
    bool m_hangUpNow = false;

    // Owned by the serving thread; reset by start() before the thread exists.
    QByteArray m_frame;
    bool m_frameOpen = false;
    BoardClock::time_point m_lastByteAt;
    qint64 m_lastByteMs = 0;
    std::deque<BoardOutgoing> m_outgoing;
    BoardClock::time_point m_lineFreeAt;
    bool m_waitWritable = false;
    bool m_hangUpScheduled = false;

    // Under m_mutex.
    void wakeLocked() const;
    bool openLine();
    void resetServingState();
    void closeFds();
    void serve();
    bool takeWakeRequests();
    bool writeDue();
    bool readInput();
    void takeByte(char byte, BoardClock::time_point at, qint64 atMs);
    void finishFrame(bool terminated);
    void schedule(const QByteArray &wire, bool hangUp, int latencyMs, BoardClock::duration spacing);
    const timespec *nextTimeout(timespec &timeout) const;
};
