// Test support without widgets: short link timings, reaching into the link, debug-line capture.
#pragma once

#include "link/seriallink.h"
#include "link/timings.h"

#include <QStringList>
#include <QTimer>

// Short enough for a quick suite, long enough that every timing assertion keeps 100 ms or more
// of margin on a busy machine. A compile-time constant, so that suites may build theirs on it.
inline constexpr LinkTimings kTestTimings = [] {
    LinkTimings timings;
    timings.pollIntervalMs = 250;
    timings.responseWindowMs = 400;
    timings.firstByteWaitMs = 20;
    timings.answerCompletionMs = 400;
    timings.writeWaitMs = 2000;
    return timings;
}();

struct LinkTestAccess {
    static QTimer &serialWatchdogTimer(SerialLink &link) { return *link.serialWatchdogTimer; }
    static bool watchdogTriggered(SerialLink &link) { return link.watchdogTriggered; }
    // As a lost device leaves it, with the port still open.
    static void latch(SerialLink &link) { link.readErrorLatched = true; }
};

// Names the port and opens it, as choosing a port and pressing COMMS does.
bool openLink(SerialLink &link, const QString &path);

// Gives the calling thread, and the processes it starts, a mount namespace of its own with an
// empty tmpfs over the lock folder: lock files planted there never reach the system's, and go
// with the process. Returns why not (it takes root); empty when done.
QString usePrivateLockFolder();

// CPU time the calling thread has used, in seconds: a busy wait shows here, whatever else the
// machine is doing.
double threadCpuSeconds();

// Collects the debug lines written while it lives.
class DebugCapture {
public:
    DebugCapture();
    ~DebugCapture();

    QStringList lines() const;
    bool contains(const QString &line) const { return lines().contains(line); }
    // Commands written so far, as the link logs each one.
    int commandsWritten() const;

private:
    QtMessageHandler m_previous;
};
