// Names and texts from a user, a file, the system or the board, made safe to show on a terminal.
#pragma once

#include <QString>

// text with each control character written as an escape ("\t", "\n", "\r", "\x1b"), so that
// nothing from a file, a board, a device name or a command line acts on the terminal.
QString EscapedText(const QString &text);

// text between double quotes, with '"' and '\\' escaped as well, so that blanks at either end
// and invisible characters show on a terminal.
QString QuotedText(const QString &text);
