// The backups that riz-nvr backup keeps in a folder.
#include "backupfolder.h"

#include "link/escapedtext.h"
#include "nvram/backupfile.h"
#include "nvram/nvrformat.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

// The name's time; the pattern below matches exactly what it makes.
const QString kTimeFormat = QStringLiteral("yyyy-MM-dd'T'HHmmss'Z'");

QRegularExpression backupPattern(const QString &prefix)
{
    return QRegularExpression(
        QRegularExpression::anchoredPattern(QRegularExpression::escape(prefix + QLatin1Char('-'))
            + QStringLiteral("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{6}Z")
            + QRegularExpression::escape(kNvramExtension)));
}

} // namespace

QString BackupPrefixProblem(const QString &prefix)
{
    const qsizetype longest = kLongestSavedName
        - BackupName(QString(), QDateTime::currentDateTimeUtc()).toUtf8().size();
    if (prefix.isEmpty())
        return QStringLiteral("the prefix is empty: give one with --prefix");
    if (prefix.contains(QLatin1Char('/')))
        return QStringLiteral("the prefix %1 holds \"/\": backups are saved in DIR itself")
            .arg(QuotedText(prefix));
    if (prefix.startsWith(QLatin1Char('.')))
        return QStringLiteral("the prefix %1 starts with \".\": the backups would be hidden")
            .arg(QuotedText(prefix));
    if (prefix.toUtf8().size() > longest)
        return QStringLiteral("the prefix is too long: it may take at most %1 bytes").arg(longest);
    return {};
}

QString BackupName(const QString &prefix, const QDateTime &time)
{
    return prefix + QLatin1Char('-') + time.toUTC().toString(kTimeFormat) + kNvramExtension;
}

BackupFolder::BackupFolder(const QString &folder, const QString &prefix)
    : m_folder(folder)
    , m_pattern(backupPattern(prefix))
{
}

// A folder that cannot be read would list as empty: every run would then save anew and none
// would prune.
bool BackupFolder::list()
{
    const QFileInfo info(m_folder);
    if (!info.exists())
        m_error = QStringLiteral("the backup folder %1 does not exist").arg(EscapedText(m_folder));
    else if (!info.isDir())
        m_error = QStringLiteral("%1 is not a folder").arg(EscapedText(m_folder));
    else if (!info.isReadable())
        m_error = QStringLiteral("the backup folder %1 cannot be listed: no permission to read it")
                      .arg(EscapedText(m_folder));
    if (!m_error.isEmpty())
        return false;
    m_names.clear();
    const QFileInfoList entries
        = QDir(m_folder).entryInfoList(QDir::Files | QDir::System | QDir::Hidden);
    for (const QFileInfo &entry : entries) {
        if (!entry.isSymLink() && entry.isFile() && m_pattern.match(entry.fileName()).hasMatch())
            m_names << entry.fileName();
    }
    std::sort(m_names.begin(), m_names.end());
    return true;
}

QString BackupFolder::filePath(const QString &name) const { return QDir(m_folder).filePath(name); }

void BackupFolder::add(const QString &name)
{
    m_names.insert(std::upper_bound(m_names.begin(), m_names.end(), name), name);
}

// With the clock set back, the one just saved is not the greatest name; neither goes.
int BackupFolder::prune(const QString &saved, int keep,
    const std::function<void(const QString &path, const QString &reason)> &failed)
{
    const QString newestName = newest();
    QStringList oldest;
    for (const QString &name : std::as_const(m_names)) {
        if (oldest.size() >= m_names.size() - keep)
            break;
        if (name != saved && name != newestName)
            oldest << name;
    }
    int removed = 0;
    for (const QString &name : std::as_const(oldest)) {
        QFile file(filePath(name));
        if (file.remove()) {
            m_names.removeOne(name);
            ++removed;
        } else {
            failed(file.fileName(), file.errorString());
        }
    }
    return removed;
}
