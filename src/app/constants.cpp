// Program-wide constants, created before main() runs, in the order below.
#include "constants.h"

#include "app/version.h"

const QString kApplicationId = QStringLiteral("Zelvo_RIZ_OVEDA");
// The title shows two-digit major and minor numbers and the patch number as it is.
const QString kVersion = QStringLiteral("%1.%2.%3")
                             .arg(RIZ_VERSION_MAJOR, 2, 10, QLatin1Char('0'))
                             .arg(RIZ_VERSION_MINOR, 2, 10, QLatin1Char('0'))
                             .arg(RIZ_VERSION_PATCH);
const QString kTitlePrefix = QStringLiteral("RIZ OVEDA - ");

const QString kStyleButtonRed = QStringLiteral(
    "QPushButton{border-style: solid;border-color: gray;border-width: 4px;border-radius: 115px;"
    "background-color: red;color: black}"
    "QPushButton:pressed {border-style: inset;border: 1px solid #00009c}");
const QString kStyleButtonGreen
    = QStringLiteral("QPushButton{border-style: solid;border-color: gray;border-width: 3px;"
                     "background-color: green;color: black}"
                     "QPushButton:pressed {border-style: inset;border: 1px solid #00009c;}");
const QString kStyleEditYellow = QStringLiteral("QLineEdit{background-color: rgb(246, 211, 45)}");
const QString kStyleEditGreen = QStringLiteral("QLineEdit{background-color: green}");
const QString kNvramDirectory = QStringLiteral("/opt/VKT_PLUS/NVRAM/CTLPCB/");
const QString kNvramExtension = QStringLiteral(".nvr");
const QString kFieldSeparator = QStringLiteral(" | ");
const QString kMessageTitle = QStringLiteral("RIZ_OVEDA");
const QString kDefaultUploadName = QStringLiteral("CtlUpload");
const QString kDefaultDownloadName = QStringLiteral("CtlDnLoad");
