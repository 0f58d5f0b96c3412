// The program's identity, created before main() runs.
#include "constants.h"

const QString kApplicationId = QStringLiteral("Zelvo_RIZ_OVEDA");
const QString kTitlePrefix = QStringLiteral("RIZ OVEDA - ");
