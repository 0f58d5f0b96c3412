// The program's identity: the single-instance key and the title's prefix.
#pragma once

#include <QString>

extern const QString kApplicationId;
extern const QString kTitlePrefix;
