// State of the board-to-file read; one per process.
#pragma once

#include <QString>

extern int CtlParamEndPage;
extern QString pageValue;
extern QString pageDescription;
