// Comparing two backups page by page.
#pragma once

#include "nvram/nvrformat.h"

#include <QByteArray>
#include <QList>
#include <QString>

class QIODevice;

// The pages of a backup as the write would send them, in page order.
struct NvrBackup {
    QList<NvrParameter> pages;
    QString trouble; // why the file cannot be compared; empty when it can
    int troubleLine = 0;
};

NvrBackup ReadNvrBackup(QIODevice *device);

// "NAME:LINE: trouble: cannot compare", for a backup whose trouble is set.
QString BackupTroubleText(const QString &name, const NvrBackup &backup);

struct NvrChange {
    QString pageText;
    QString oldText;
    QString newText;
    QString description; // of the new backup, for a changed value; may be absent
    bool hasDescription = false;
};

struct NvrDiff {
    QList<NvrParameter> added;
    QList<NvrParameter> removed;
    QList<NvrChange> valuesChanged;
    QList<NvrChange> descriptionsChanged;
    int unchangedPages = 0;
    int pages = 0; // in either backup

    bool isEmpty() const
    {
        return added.isEmpty() && removed.isEmpty() && valuesChanged.isEmpty()
            && descriptionsChanged.isEmpty();
    }
};

NvrDiff DiffNvrBackups(const NvrBackup &oldBackup, const NvrBackup &newBackup);

// One line per difference in page order, then the count line.
QByteArray DiffText(const NvrDiff &diff);
QByteArray DiffJson(const NvrDiff &diff);
