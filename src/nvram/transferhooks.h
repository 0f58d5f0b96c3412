// What a transfer asks of whoever runs it: its progress shown, time between exchanges for a
// window to repaint, and whether to stop.
#pragma once

#include <QString>

#include <functional>

struct TransferHooks {
    // A new progress text ("Reading page 0003 of 000A (30 %)") and the share of the transfer
    // done before it, in percent, once per page or line.
    std::function<void(const QString &text, int percent)> progress;
    // Called before each exchange; nothing may come between a command and its answer.
    std::function<void()> beforeExchange;
    // Asked after beforeExchange; true ends the transfer there, before the exchange. A read then
    // saves nothing; a write sends no "$24%", so the board keeps its saved parameters.
    std::function<bool()> stopRequested;
};
