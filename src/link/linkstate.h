// State of the serial link shared by the exchanges and the polling cycle; one per process.
#pragma once

#include <QString>

extern QString RCV_Str; // the response last collected, '#' included
extern QString lastCommand; // the command last written, named in the read-failure box
extern bool readErrorLatched; // set by a failed read; cleared when a port is opened again

extern int pollState; // 0 idle, 1 handshake due, 2 polling, 3 closing
extern int statusPollCountdown; // ticks until the next status poll; its phase survives reconnects
