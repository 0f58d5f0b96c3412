// Program-wide constants: identity, style sheets, file places and message texts.
#pragma once

#include <QString>

extern const QString kApplicationId;
extern const QString kVersion;
extern const QString kTitlePrefix;

extern const QString kStyleButtonRed;
extern const QString kStyleButtonGreen;
extern const QString kStyleEditYellow;
extern const QString kStyleEditGreen;
extern const QString kNvramDirectory;
extern const QString kNvramExtension;
extern const QString kFieldSeparator;
extern const QString kMessageTitle;
extern const QString kDefaultUploadName;
extern const QString kDefaultDownloadName;
