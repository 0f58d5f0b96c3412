// Text helpers shared by the reports.
#pragma once

#include <QByteArray>
#include <QString>

class QJsonDocument;

// text with each control character written as an escape ("\t", "\n", "\r", "\x1b"), so that
// nothing from a file, a board or a command line acts on the terminal.
QString EscapedText(const QString &text);

// text between double quotes, with '"' and '\\' escaped as well, so that blanks at either end
// and invisible characters show on a terminal.
QString QuotedText(const QString &text);

// "cannot read NAME: reason", for a file that cannot be read.
QString CannotReadText(const QString &name, const QString &reason);

// "1 line", "2 lines": count and word, with an "s" unless the count is 1.
QString CountOf(qint64 count, const QString &word);

// document as indented JSON, with every control character escaped ("\u009b" too).
QByteArray JsonText(const QJsonDocument &document);
