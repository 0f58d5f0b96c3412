// A command-line session with the board: the port opened as the window opens it, the greeting
// and the farewell, a stop asked for by a signal, and the progress line.
#pragma once

#include "commandline.h"
#include "link/seriallink.h"
#include "link/timings.h"
#include "nvram/transferhooks.h"

#include <QElapsedTimer>
#include <QString>

#include <functional>
#include <optional>

class QTextStream;

// How a board command runs, and where it tells: the program passes the real timings, stdout and
// stderr; a test passes short timings and its own streams.
struct BoardRun {
    LinkTimings timings;
    QTextStream *out = nullptr; // results
    QTextStream *err = nullptr; // messages and the progress line
    bool progress = false; // one progress line, updated in place
    // The number of a signal that asks the command to stop, 0 while none has.
    std::function<int()> stopSignal;
};

// "riz-nvr: " + each line of message, on run's err.
void TellRun(const BoardRun &run, const QString &message);

// The exit status of a board command that ended with status: 128 + the number of a signal that
// came while it ran, whatever its exchanges gave (a board that fell silent while the signal
// came, too); status when none came.
int StatusAfterSignal(const BoardRun &run, int status);

class BoardSession {
public:
    BoardSession(const BoardRun &run, const QString &port);
    // Takes leave of a board that was greeted and can still be reached, then releases the port.
    ~BoardSession();
    BoardSession(const BoardSession &) = delete;
    BoardSession &operator=(const BoardSession &) = delete;

    // Opens the port and greets the board. Returns the exit status once it has told why not:
    // trouble for a port that cannot be opened, silentStatus for a board that does not answer.
    std::optional<int> open(int silentStatus);

    SerialLink &link() { return m_link; }
    // The port as its open-failure text names it.
    QString portName() { return m_link.port().portName(); }
    // For one transfer: its progress on the line, and a stop between exchanges.
    TransferHooks hooks();
    // The signal that stopped the command; 0 when none did.
    int stopSignal() const { return m_stopSignal; }
    // Tells message, the port named first; after a lost device, that it may have been unplugged.
    void tellBoard(const QString &message);
    void tell(const QString &message);

private:
    bool stopRequested();
    QString withLostDevice(const QString &message);
    void showProgress(const QString &text, int percent);
    void clearProgress();

    const BoardRun &m_run;
    SerialLink m_link;
    bool m_greeted = false;
    int m_stopSignal = 0;
    QElapsedTimer m_transferClock;
    bool m_progressShown = false;
};
