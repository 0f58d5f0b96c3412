// The window's looks and its fixed texts.
#include "styles.h"

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
const QString kMessageTitle = QStringLiteral("RIZ_OVEDA");
const QString kDefaultUploadName = QStringLiteral("CtlUpload");
const QString kDefaultDownloadName = QStringLiteral("CtlDnLoad");
