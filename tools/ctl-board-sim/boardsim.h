// A simulated CTL PCB that answers the serial command protocol on a pseudo-terminal, a serial
// device or an emulator's socket.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <memory>

struct BoardParameter {
    QString value;
    QString description;
};

struct ReceivedCommand {
    QByteArray bytes; // as received, from '$' up to and including '%' (or a cut-off frame)
    qint64 receivedAtMs; // monotonic clock, comparable with QElapsedTimer::msecsSinceReference()
    bool terminated; // false for a frame that never got its '%'
};

// Runs its own thread that serves its line: by default the master side of a pty of its own, whose
// slave the program under test opens with a real QSerialPort (portPath()). All member functions
// are thread-safe.
//
// Answers: "$90%" -> "$90OK#", "$91%" -> "$91OK#", "$20...%" -> "$20OK#", "$21...%" -> "$21OK#",
// "$24%" -> "$24OK#" ("$24ER#" if the save-on-end file cannot be written),
// "$22<page>%" / "$23<page>%" -> "$22"/"$23" + the page as exactly 4 hex digits (the low 16 bits
// for pages above FFFF) + value/description + "#" (an empty text for a page beyond the table),
// anything else framed "$..%" (or a page text that is not hex) -> "$" + code + "ER#".
// Commands still take effect when the board is silent or an override replaces their answer.
// A command's answer starts `latency` after the command was read, but never before the previous
// answer has gone out; the board keeps reading and logging while answers wait.
class CtlBoardSim {
public:
    // Called on the simulator's thread (without any lock held) for every logged frame, with the
    // bytes that will go on the wire for it (junk included; empty when nothing is sent).
    using Observer = std::function<void(const ReceivedCommand &command, const QByteArray &wire)>;

    CtlBoardSim();
    ~CtlBoardSim(); // stops the thread and closes the pty

    CtlBoardSim(const CtlBoardSim &) = delete;
    CtlBoardSim &operator=(const CtlBoardSim &) = delete;

    // Where the board serves: a pty of its own; a serial device (a USB adapter, /dev/ttyGS0), set
    // to raw 57600 8N1 without flow control; or a Unix socket it connects to (the server end of an
    // emulator's serial chardev).
    enum class Line { OwnPty, Device, Socket };
    // The line start() serves from then on; path for a device or a socket.
    void setLine(Line line, const QString &path = QString());

    bool start(); // opens the line and starts serving; false (and errorString()) on failure
    void stop();
    QString portPath() const; // the pty's slave device (e.g. /dev/pts/7), or the line's path
    QString errorString() const;

    // Parameter table: index = page number. Page 0's value announces the last page.
    void setParameters(const QList<BoardParameter> &parameters);
    QList<BoardParameter> parameters() const;
    void generateParameters(int lastPage); // realistic values and descriptions, page 0 = lastPage
    bool loadNvr(const QString &path); // an ".nvr" file as the tool writes it
    bool saveNvr(const QString &path) const;
    void setSaveOnEndOfWrite(const QString &path); // "$24%" saves the table there; empty: never

    // Log of every command received, in order.
    QList<ReceivedCommand> commands() const;
    QList<QByteArray> commandBytes() const;
    void clearCommands();
    bool waitForCommandCount(int count, int timeoutMs) const;

    // Timing knobs.
    void setLatencyMs(int ms); // delay before each answer starts
    void setLinePacing(bool on); // space the answer's bytes as at 57600 baud 8N1 (~174 us)
    // Sends each answer byte ms apart, the first one after the latency; 0: off.
    void setTrickleMs(int ms);

    // Faults.
    void setSilent(bool on); // receive and log, never answer
    // Answers the next `commands` complete commands (counted from this call), then none until
    // switched off; -1: off. As with setSilent, unanswered commands still take effect.
    void setSilentAfterCommands(int commands);
    // Leaves every n-th complete command (counted from this call) unanswered; 0: off.
    void setSilentEvery(int n);
    void setAnswerOverride(const QByteArray &command, const QByteArray &answer); // raw bytes
    void clearAnswerOverrides();
    void setStallAfterBytes(int bytes); // send only this many bytes of each answer; -1 off
    void setJunkBeforeAnswer(const QByteArray &junk); // sent in full before each answer; empty: off
    // Sent after each answer's '#' when the answer goes out whole (not cut by a stall or a
    // hang-up); empty: off.
    void setTrailingBytes(const QByteArray &bytes);
    // Counts complete commands received from this call on; on the Nth, sends junk (if set) and the
    // first answerBytesFirst bytes of its answer, then closes the master. 0: hang up now. Fires
    // once: the knob is off again afterwards (also after stop()/start()).
    void setHangUpAfterCommands(int commands, int answerBytesFirst = 0); // close the master; -1 off

    void sendRaw(const QByteArray &bytes); // unsolicited bytes onto the line, now

    // The line is dropped: by setHangUpAfterCommands, or on a device or a socket by its far end
    // (an unplugged adapter, a closed socket). start() opens it again.
    bool isHungUp() const;

    void setObserver(Observer observer); // e.g. the command-line tool's stderr log; empty: none

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// Points a symbolic link at linkPath to target (the pty), creating its folder. Replaces an
// earlier link, but never a file that is not a symbolic link.
bool placeBoardLink(const QString &linkPath, const QString &target);

// Bytes for a log line: printable ASCII as it is, anything else (and '\\') as \xNN.
QByteArray printableBytes(const QByteArray &bytes);
