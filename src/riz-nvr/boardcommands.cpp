// The commands that talk to the board, on the window's transfers.
#include "boardcommands.h"

#include "backupfolder.h"
#include "nvram/backupfile.h"
#include "nvram/nvrformat.h"
#include "nvram/readtransfer.h"
#include "nvram/transfermessages.h"
#include "nvram/writetransfer.h"
#include "nvrcheck.h"
#include "nvrtext.h"
#include "nvrverify.h"

#include <QBuffer>
#include <QFile>
#include <QTextStream>

#include <limits>
#include <optional>

#include <sys/stat.h>

namespace {

bool isFileTrouble(ReadResult::Outcome outcome)
{
    using Outcome = ReadResult::Outcome;
    return outcome == Outcome::NotAFile || outcome == Outcome::CannotCreate
        || outcome == Outcome::WriteFailed || outcome == Outcome::KeepingPreviousFailed;
}

// Tells why a read did not save and returns the exit status, boardStatus for a board that
// failed.
int readFailed(BoardSession &session, const ReadResult &result, int boardStatus)
{
    if (isFileTrouble(result.outcome)) {
        session.tell(ReadResultMessage(result));
        return kExitTrouble;
    }
    session.tellBoard(ReadResultMessage(result));
    if (session.stopSignal() != 0)
        return kExitSignalBase + session.stopSignal();
    return boardStatus;
}

// The pages of a file's bytes; tells why not when they cannot be compared.
std::optional<NvrBackup> backupOf(
    const BoardRun &run, const QByteArray &bytes, const QString &shown)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    NvrBackup backup = ReadNvrBackup(&buffer);
    if (!backup.trouble.isEmpty()) {
        TellRun(run, BackupTroubleText(shown, backup));
        return std::nullopt;
    }
    return backup;
}

// A file that a read does not replace (a device, a pipe, a folder) is refused before the port
// is opened, so that nothing at all goes to the board.
bool refusedReadTarget(const BoardRun &run, const QString &path)
{
    const std::optional<ReadResult> refused = RefusedReadTarget(path);
    if (refused)
        TellRun(run, ReadResultMessage(*refused));
    return refused.has_value();
}

// Tells how a read into a file ended, unless it saved every page as the board holds it, and
// returns the exit status then. Every page that the file cannot carry back is named.
std::optional<int> readStatus(BoardSession &session, const ReadResult &result)
{
    if (result.outcome != ReadResult::Outcome::Saved)
        return readFailed(session, result, kExitFindings);
    if (result.uncarriedPages.isEmpty())
        return std::nullopt;
    session.tell(ReadResultMessage(result, std::numeric_limits<int>::max()));
    return kExitFindings;
}

// The pages of a file; tells why not when it cannot be read or compared.
std::optional<NvrBackup> backupOf(const BoardRun &run, const QString &path, const QString &shown)
{
    const NvrFileContents contents = ReadNvrFile(path);
    if (!contents.error.isEmpty()) {
        TellRun(run, CannotReadText(shown, contents.error));
        return std::nullopt;
    }
    return backupOf(run, contents.bytes, shown);
}

// Whether a and b are one file, through whatever path or link: stat compares the files
// themselves, which names and canonical paths cannot do for hard links.
bool sameFile(const QString &a, const QString &b)
{
    struct stat first { };
    struct stat second { };
    return ::stat(QFile::encodeName(a).constData(), &first) == 0
        && ::stat(QFile::encodeName(b).constData(), &second) == 0 && first.st_dev == second.st_dev
        && first.st_ino == second.st_ino;
}

// Reads the board back and prints how it differs from file. The board's pages are compared as
// it sent them, not through a file, which cannot carry every text back.
int compareWithBoard(BoardSession &session, const BoardRun &run, const NvrBackup &file,
    const QString &fileName, bool json, int boardStatus)
{
    ReadTransfer transfer(session.link(), session.hooks());
    QList<NvrParameter> pages;
    ReadResult result = transfer.ReadCtlToPages(pages);
    if (result.outcome != ReadResult::Outcome::Saved) {
        // A read for a comparison saves nothing of the user's: the file compared with is named.
        result.path = fileName;
        result.existed = true;
        return readFailed(session, result, boardStatus);
    }
    const NvrBackup board = NvrBackupOf(pages);
    const NvrVerify verify = VerifyNvrBackup(file, board);
    *run.out << QString::fromUtf8(json ? VerifyJson(verify) : VerifyText(verify));
    run.out->flush();
    return verify.isEmpty() ? kExitClean : kExitFindings;
}

int readBoard(const BoardRun &run, const QString &port, const QString &file)
{
    if (refusedReadTarget(run, file))
        return kExitTrouble;
    BoardSession session(run, port);
    if (const std::optional<int> status = session.open(kExitFindings))
        return *status;
    ReadTransfer transfer(session.link(), session.hooks());
    return readStatus(session, transfer.ReadCtlToFile(file)).value_or(kExitClean);
}

// The file is compared as it is before the board is asked anything: a file that cannot be
// compared is trouble without a read.
int verifyBoard(const BoardRun &run, const QString &port, const QString &file, bool json)
{
    const std::optional<NvrBackup> backup = backupOf(run, file, file);
    if (!backup)
        return kExitTrouble;
    BoardSession session(run, port);
    if (const std::optional<int> status = session.open(kExitTrouble))
        return *status;
    return compareWithBoard(session, run, *backup, file, json, kExitTrouble);
}

// FILE is read once: the bytes that are checked are the bytes that are sent and compared.
int writeBoard(
    const BoardRun &run, const QString &port, const QString &file, const WriteOptions &options)
{
    // The backup's read replaces BACKUP and keeps the file it replaces as BACKUP~.
    if (!options.backup.isEmpty()
        && (sameFile(options.backup, file) || sameFile(options.backup + QLatin1Char('~'), file))) {
        TellRun(run,
            QStringLiteral("the backup into %1 would replace %2, the file to write: nothing was "
                           "sent (give the backup another name)")
                .arg(EscapedText(options.backup), EscapedText(file)));
        return kExitTrouble;
    }
    const NvrFileContents contents = ReadNvrFile(file);
    if (!contents.error.isEmpty()) {
        TellRun(run, CannotReadText(file, contents.error));
        return kExitTrouble;
    }
    QBuffer buffer;
    buffer.setData(contents.bytes);
    buffer.open(QIODevice::ReadOnly);
    bool refused = false;
    NvrCheck(&buffer).tellFindings([&](const NvrFinding &finding) {
        TellRun(run, FindingText(file, finding));
        refused = refused || finding.refusesWrite;
    });
    if (refused && !options.force) {
        TellRun(run,
            QStringLiteral("%1 is not written: the board would not hold what it says "
                           "(--force sends it anyway)")
                .arg(EscapedText(file)));
        return kExitTrouble;
    }
    std::optional<NvrBackup> backup;
    if (options.verify && !(backup = backupOf(run, contents.bytes, file)))
        return kExitTrouble;
    if (!options.backup.isEmpty() && refusedReadTarget(run, options.backup))
        return kExitTrouble;

    BoardSession session(run, port);
    if (const std::optional<int> status = session.open(kExitFindings))
        return *status;
    // A backup that cannot carry every page back could not restore the board: it stops the
    // write as a failed one does.
    if (!options.backup.isEmpty()) {
        ReadTransfer transfer(session.link(), session.hooks());
        const ReadResult read = transfer.ReadCtlToFile(options.backup);
        if (const std::optional<int> status = readStatus(session, read)) {
            session.tell(read.outcome == ReadResult::Outcome::Saved
                    ? QStringLiteral("the backup cannot restore the board: nothing was written")
                    : QStringLiteral("the backup failed: nothing was written"));
            return *status;
        }
    }
    const WriteResult result = WriteFileToCtl(session.link(), contents.bytes, session.hooks());
    const QString message = WriteResultMessage(result);
    if (!message.isEmpty())
        session.tellBoard(message);
    if (result.interrupted)
        return kExitSignalBase + session.stopSignal();
    // Lines not sent or not answered leave the board short of what the file says.
    if (!message.isEmpty())
        return kExitFindings;
    if (!options.verify)
        return kExitClean;
    return compareWithBoard(session, run, *backup, file, false, kExitFindings);
}

// Whether the newest backup holds bytes. It is read only as the regular file that the folder
// listed: a link planted under its name since is not followed.
bool newestHolds(
    BoardSession &session, const QString &newest, const QByteArray &bytes, bool &unreadable)
{
    if (newest.isEmpty())
        return false;
    const NvrFileContents contents = ReadNvrFile(newest, FollowLinks::No);
    if (!contents.error.isEmpty()) {
        session.tell(QStringLiteral("cannot read the newest backup %1 (%2), so the board is not "
                                    "compared with it")
                         .arg(EscapedText(newest), contents.error));
        unreadable = true;
    }
    return contents.error.isEmpty() && contents.bytes == bytes;
}

// Puts the new backup in place under its name; false once it has told why not. A name that is
// taken (a backup made in the same second) is never replaced.
bool saveNewBackup(
    BoardSession &session, BackupFile &file, const QByteArray &bytes, const ReadResult &result)
{
    if (file.device()->write(bytes) == bytes.size() && file.commitAsNew())
        return true;
    if (file.nameTaken()) {
        session.tell(QStringLiteral("%1 already exists, so this backup was not saved and %1 is "
                                    "unchanged: try again in a second")
                         .arg(EscapedText(result.path)));
        return false;
    }
    ReadResult failed = result;
    failed.outcome = ReadResult::Outcome::WriteFailed;
    failed.detail = file.errorString();
    session.tell(ReadResultMessage(failed));
    return false;
}

// Trouble in the folder (a newest backup that cannot be read, an old one that cannot be
// removed) ends with status 2 even when the backup was saved: the unit then fails and someone
// looks before the folder fills up.
int backupBoard(const BoardRun &run, const QString &port, const QString &folderPath,
    const BackupOptions &options)
{
    BackupFolder folder(folderPath, options.prefix);
    if (!folder.list()) {
        TellRun(run, folder.errorString());
        return kExitTrouble;
    }
    const QString name = BackupName(options.prefix, options.time);
    const QString path = folder.filePath(name);
    // Opened first, so that nothing goes to the board when the folder cannot be written.
    BackupFile file(path);
    if (!file.open()) {
        ReadResult refused;
        refused.outcome = ReadResult::Outcome::CannotCreate;
        refused.path = path;
        refused.detail = file.errorString();
        TellRun(run, ReadResultMessage(refused));
        return kExitTrouble;
    }
    BoardSession session(run, port);
    if (const std::optional<int> status = session.open(kExitFindings))
        return *status;
    QByteArray bytes;
    ReadTransfer transfer(session.link(), session.hooks());
    ReadResult result = transfer.ReadCtlToBytes(bytes);
    result.path = path;
    if (result.outcome != ReadResult::Outcome::Saved)
        return readFailed(session, result, kExitFindings);

    bool folderTrouble = false;
    const QString newest = folder.newest().isEmpty() ? QString() : folder.filePath(folder.newest());
    if (newestHolds(session, newest, bytes, folderTrouble)) {
        *run.out << QStringLiteral("unchanged since ") << EscapedText(newest) << Qt::endl;
        result.path = newest;
        return readStatus(session, result).value_or(kExitClean);
    }
    if (!saveNewBackup(session, file, bytes, result))
        return kExitTrouble;
    folder.add(name);
    const int removed
        = folder.prune(name, options.keep, [&](const QString &old, const QString &reason) {
              session.tell(QStringLiteral("cannot remove the old backup %1: %2")
                               .arg(EscapedText(old), reason));
              folderTrouble = true;
          });
    *run.out << QStringLiteral("saved %1 (%2); %3 kept, %4 removed")
                    .arg(EscapedText(path), CountOf(result.pagesRead, QStringLiteral("page")))
                    .arg(folder.count())
                    .arg(removed)
             << Qt::endl;
    const int status = readStatus(session, result).value_or(kExitClean);
    return folderTrouble ? kExitTrouble : status;
}

} // namespace

int ReadBoard(const BoardRun &run, const QString &port, const QString &file)
{
    return StatusAfterSignal(run, readBoard(run, port, file));
}

int VerifyBoard(const BoardRun &run, const QString &port, const QString &file, bool json)
{
    return StatusAfterSignal(run, verifyBoard(run, port, file, json));
}

int WriteBoard(
    const BoardRun &run, const QString &port, const QString &file, const WriteOptions &options)
{
    return StatusAfterSignal(run, writeBoard(run, port, file, options));
}

int BackupBoard(
    const BoardRun &run, const QString &port, const QString &folder, const BackupOptions &options)
{
    return StatusAfterSignal(run, backupBoard(run, port, folder, options));
}
