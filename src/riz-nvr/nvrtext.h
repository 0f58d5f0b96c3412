// Text helpers shared by the reports.
#pragma once

#include "link/escapedtext.h"

#include <QByteArray>
#include <QString>

class QJsonDocument;

// "cannot read NAME: reason", for a file that cannot be read.
QString CannotReadText(const QString &name, const QString &reason);

// "1 line", "2 lines": count and word, with an "s" unless the count is 1.
QString CountOf(qint64 count, const QString &word);

// document as indented JSON, with every control character escaped ("\u009b" too).
QByteArray JsonText(const QJsonDocument &document);
