// What a transfer asks of whoever runs it: its progress shown, and time between exchanges for
// a window to repaint.
#pragma once

#include <QString>

#include <functional>

struct TransferHooks {
    // A new progress text ("Reading page 0003 of 000A (30 %)"), once per page or line.
    std::function<void(const QString &text)> progress;
    // Called before each exchange; nothing may come between a command and its answer.
    std::function<void()> beforeExchange;
};
