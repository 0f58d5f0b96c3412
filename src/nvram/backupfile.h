// Saving a read in the folder that colleagues share: the typed name checked, the file put in
// place in one step, and the file it replaces kept as NAME~.
#pragma once

#include <QFile>
#include <QString>

#include <climits>

// The longest file name, in bytes, that a BackupFile saves: its temporary is named "." + the
// name + "." + six random characters.
constexpr int kLongestSavedName = NAME_MAX - 8;

// The path that a name typed for a read is saved at: directory (kNvramDirectory but in tests),
// the name, then kNvramExtension unless the name already ends with it. Empty when the name
// cannot be used; problem then says why, in the technician's words.
QString NvramSavePath(const QString &directory, const QString &typedName, QString &problem);

// Whether anything, a link included, has that name.
bool NameIsTaken(const QString &path);

// What has the name when a read may not replace it: "a folder", "a device", "a pipe (FIFO)" or
// "a socket". Empty for a regular file, a link (replaced itself, never what it points to) and a
// free name.
QString UnreplaceableKind(const QString &path);

// A new file for path, written under a temporary name beside it and put in place by commit().
// Until then, and whatever fails, path and path~ are as they were and no temporary is left. A
// regular file that it replaces passes its permission bits to the new file and to path~.
class BackupFile {
public:
    explicit BackupFile(const QString &path);
    ~BackupFile();
    BackupFile(const BackupFile &) = delete;
    BackupFile &operator=(const BackupFile &) = delete;

    bool open();
    QIODevice *device() { return &m_file; }
    // Syncs the data to disk, keeps the file under path as path~, and renames the new one over
    // path.
    bool commit();
    // Syncs the data to disk and puts the new file under path only while nothing, not even a
    // link, has that name: nothing is replaced or kept.
    bool commitAsNew();
    // True when commit() failed because the file under path could not be kept as path~.
    bool keepingPreviousFailed() const { return m_keepingPreviousFailed; }
    // True when commitAsNew() failed because something has the name.
    bool nameTaken() const { return m_nameTaken; }
    QString errorString() const;

private:
    bool syncAndClose();
    bool keepPrevious();

    QString m_path;
    QString m_temporaryPath;
    QFile m_file;
    QString m_error;
    bool m_keepingPreviousFailed = false;
    bool m_nameTaken = false;
};
