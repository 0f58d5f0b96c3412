// State of the serial link; one per process.
#include "linkstate.h"

QString RCV_Str;
QString lastCommand;
bool readErrorLatched = false;

int pollState = 0;
int statusPollCountdown = 1;
