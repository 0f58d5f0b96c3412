// Comparing two backups page by page.
#pragma once

#include "nvram/nvrformat.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringView>

#include <vector>

class QIODevice;

// The pages of a backup as the write would send them, in page order. A backup of tens of
// megabytes is compared whole, so the texts of its pages share one string instead of taking
// three allocations each.
class NvrBackup {
public:
    struct Page {
        QStringView pageText;
        QStringView value;
        QStringView description;
        bool hasDescription = false;
        int number = -1; // as PageTextToNumber reads pageText; -1 for any other text
    };

    // Room for this many characters of page texts, values and descriptions.
    void reserve(qsizetype characters) { m_text.reserve(characters); }
    // Adds a page in any order; finish() then puts the pages in page order.
    void add(const NvrParameter &parameter);
    // Sorts the pages; a page given twice sets trouble.
    void finish();

    qsizetype size() const { return qsizetype(m_pages.size()); }
    Page page(qsizetype index) const;

    QString trouble; // why the file cannot be compared; empty when it can
    int troubleLine = 0;

private:
    struct Entry {
        qsizetype start = 0; // of the page text in m_text; value and description follow it
        int pageTextLength = 0;
        int valueLength = 0;
        int descriptionLength = 0;
        int number = -1;
        int lineNumber = 0;
        bool hasDescription = false;
    };

    QStringView pageTextOf(const Entry &entry) const;

    QString m_text;
    std::vector<Entry> m_pages;
};

NvrBackup ReadNvrBackup(QIODevice *device);

// The board's pages, as the read hands them over.
NvrBackup NvrBackupOf(const QList<NvrParameter> &pages);

// "NAME:LINE: trouble: cannot compare", for a backup whose trouble is set.
QString BackupTroubleText(const QString &name, const NvrBackup &backup);

// Where two backups differ. It points into both, which must outlive it.
struct NvrDiff {
    struct Change {
        qsizetype oldIndex = -1; // -1: the page was added
        qsizetype newIndex = -1; // -1: the page was removed
        bool valueChanged = false;
        bool descriptionChanged = false;
    };

    const NvrBackup *oldBackup = nullptr;
    const NvrBackup *newBackup = nullptr;
    std::vector<Change> changes; // every page that differs, in page order
    qsizetype added = 0;
    qsizetype removed = 0;
    qsizetype valuesChanged = 0;
    qsizetype descriptionsChanged = 0;
    qsizetype unchangedPages = 0;
    qsizetype pages = 0; // in either backup

    bool isEmpty() const { return changes.empty(); }
};

// A two-field line carries no description; there is then nothing to compare it with.
NvrDiff DiffNvrBackups(const NvrBackup &oldBackup, const NvrBackup &newBackup);

// One line per difference in page order, then the count line.
QByteArray DiffText(const NvrDiff &diff);
QByteArray DiffJson(const NvrDiff &diff);
