// Framing of the serial command protocol: limits, timing and the bytes of a command.
#pragma once

#include <QByteArray>
#include <QString>

constexpr int kMaxCommandBytes = 90;
constexpr int kWriteWaitMs = 30000;
constexpr int kResponseWindowMs = 2000;
constexpr int kFirstByteWaitMs = 100;
constexpr int kRetryWaitMs = 10;
constexpr int kMaxResponseChars = 200;
constexpr int kResponseOverflow = 201;
// Once its first byte is in, the whole answer must arrive within this; a real one takes 35 ms.
constexpr int kAnswerCompletionMs = 2000;
// Exchanges in a row without a complete answer after which the board counts as gone.
constexpr int kUnansweredLimit = 3;

// Longest stretch of a transfer without repainting the window and answering the desktop.
constexpr int kKeepAliveIntervalMs = 50;

// Polling tick while connected; the transfers restart polling with it too.
constexpr int kPollIntervalMs = 750;

// Whether ReadResponse's result stands for an answer that ended at its '#'.
bool IsCompleteAnswer(int readResponseResult);

// The length handed to WriteCommand, cut to what one command may carry.
int CommandLength(int length);

// The bytes that go on the wire for a command: Latin-1 (a character outside it
// becomes '?'), at most CommandLength(length) of them, nothing appended.
QByteArray CommandBytes(const QString &command, int length);
