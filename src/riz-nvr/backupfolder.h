// The backups that riz-nvr backup keeps in a folder: their names, the newest, and the oldest
// removed beyond a count.
#pragma once

#include <QDateTime>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <functional>

// Why prefix cannot start the names of backups; empty when it can.
QString BackupPrefixProblem(const QString &prefix);

// "PREFIX-YYYY-MM-DDTHHMMSSZ.nvr", the time in UTC: the names of one prefix sort by time.
QString BackupName(const QString &prefix, const QDateTime &time);

// The backups of one prefix in a folder: regular files, never links, named exactly as
// BackupName names them. Anything else in the folder is not theirs and is left alone.
class BackupFolder {
public:
    BackupFolder(const QString &folder, const QString &prefix);

    // Lists the backups; false, with errorString(), when the folder cannot be listed.
    bool list();
    QString errorString() const { return m_error; }

    QString filePath(const QString &name) const;
    // The greatest name; empty when there is no backup.
    QString newest() const { return m_names.isEmpty() ? QString() : m_names.constLast(); }
    // The backups listed and those added since.
    qsizetype count() const { return m_names.size(); }

    void add(const QString &name);

    // Removes the oldest backups until keep remain, never the newest and never saved. Each one
    // that cannot be removed is handed to failed, with why, and stays. Returns how many went.
    int prune(const QString &saved, int keep,
        const std::function<void(const QString &path, const QString &reason)> &failed);

private:
    QString m_folder;
    QRegularExpression m_pattern;
    QStringList m_names; // oldest first
    QString m_error;
};
