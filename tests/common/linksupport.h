// Test support without widgets: short link timings, reaching into the link, debug-line capture.
#pragma once

#include "link/seriallink.h"
#include "link/timings.h"

#include <QStringList>
#include <QTimer>

// Short enough for a quick suite, long enough that every timing assertion keeps 100 ms or more
// of margin on a busy machine: a tick is 250 ms, a silent board costs 400 ms per exchange.
extern const LinkTimings kTestTimings;

struct LinkTestAccess {
    static QTimer &serialWatchdogTimer(SerialLink &link) { return *link.serialWatchdogTimer; }
    static bool watchdogTriggered(SerialLink &link) { return link.watchdogTriggered; }
    // As a lost device leaves it, with the port still open.
    static void latch(SerialLink &link) { link.readErrorLatched = true; }
};

// Names the port and opens it, as choosing a port and pressing COMMS does.
bool openLink(SerialLink &link, const QString &path);

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
