// Framing of the serial command protocol: the line, the commands with a fixed text, limits, and
// the bytes of a command.
#pragma once

#include <QByteArray>
#include <QString>

// The board's line: 57600 baud, 8 data bits, no parity, one stop bit.
constexpr int kBaudRate = 57600;

// A command runs from '$' to '%'; the board's answer ends at '#'. The board starts a new command
// at every '$' it receives, wherever it stands.
constexpr char kCommandStart = '$';
constexpr char kCommandEnd = '%';
constexpr char kAnswerEnd = '#';

// "$90%" greets the board (and takes leave of it), "$91%" asks for its status, "$24%" ends a
// write: the board then saves what it holds.
extern const QString kGreeting;
extern const QString kStatusQuery;
extern const QString kEndOfTransfer;

constexpr int kMaxCommandBytes = 90;
constexpr int kMaxResponseChars = 200;
constexpr int kResponseOverflow = 201;
// Exchanges in a row without a complete answer after which the board counts as gone.
constexpr int kUnansweredLimit = 3;

// Whether ReadResponse's result stands for an answer that ended at its '#'.
bool IsCompleteAnswer(int readResponseResult);

// The length handed to WriteCommand, cut to what one command may carry.
int CommandLength(int length);

// The bytes that go on the wire for a command: Latin-1 (a character outside it
// becomes '?'), at most CommandLength(length) of them, nothing appended.
QByteArray CommandBytes(const QString &command, int length);
