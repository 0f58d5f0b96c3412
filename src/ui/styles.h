// The window's looks and its fixed texts: style sheets, the title of its boxes, the default
// file names.
#pragma once

#include <QString>

extern const QString kStyleButtonRed;
extern const QString kStyleButtonGreen;
extern const QString kStyleEditYellow;
extern const QString kStyleEditGreen;
extern const QString kMessageTitle;
extern const QString kDefaultUploadName;
extern const QString kDefaultDownloadName;
