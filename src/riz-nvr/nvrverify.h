// Comparing a file with what the board holds after reading it back.
#pragma once

#include "nvrdiff.h"

#include <QByteArray>

// The file's pages against the board's: each page of the file whose value, description (where
// the file has one) or whole page the board does not hold is a difference; pages on the board
// only are counted. It points into both backups, which must outlive it.
struct NvrVerify {
    NvrDiff diff; // the file as the old backup, the board as the new one
    qsizetype filePages = 0;
    qsizetype differingPages = 0;
    qsizetype boardOnlyPages = 0;

    bool isEmpty() const { return differingPages == 0; }
};

NvrVerify VerifyNvrBackup(const NvrBackup &file, const NvrBackup &board);

// One line per difference in page order, then the count line.
QByteArray VerifyText(const NvrVerify &verify);
QByteArray VerifyJson(const NvrVerify &verify);
