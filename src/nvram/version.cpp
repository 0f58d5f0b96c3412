// The version number, from project(VERSION) alone, so the title, riz-nvr and the package agree.
#include "version.h"

#include "nvram/versionnumbers.h"

const QString kVersion = QStringLiteral("%1.%2.%3")
                             .arg(RIZ_VERSION_MAJOR, 2, 10, QLatin1Char('0'))
                             .arg(RIZ_VERSION_MINOR, 2, 10, QLatin1Char('0'))
                             .arg(RIZ_VERSION_PATCH);
