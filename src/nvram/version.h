// The version number, as the window's title and riz-nvr --version show it.
#pragma once

#include <QString>

// Two-digit major and minor numbers, then the patch number as it is: "01.00.2".
extern const QString kVersion;
