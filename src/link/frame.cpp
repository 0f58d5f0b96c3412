// Framing of the serial command protocol.
#include "frame.h"

#include <algorithm>

const QString kGreeting = QStringLiteral("$90%");
const QString kStatusQuery = QStringLiteral("$91%");
const QString kEndOfTransfer = QStringLiteral("$24%");

bool IsCompleteAnswer(int readResponseResult)
{
    return readResponseResult >= 1 && readResponseResult <= kMaxResponseChars;
}

int CommandLength(int length) { return std::clamp(length, 0, kMaxCommandBytes); }

QByteArray CommandBytes(const QString &command, int length)
{
    return command.toLatin1().left(CommandLength(length));
}
