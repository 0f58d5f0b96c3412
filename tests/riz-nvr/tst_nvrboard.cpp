// riz-nvr's board commands against the simulated board: what they save, send and tell, and their
// exit status.
#include "boardcommands.h"
#include "boardfixture.h"
#include "link/frame.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTextStream>
#include <QTimeZone>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <sys/stat.h>

namespace {

const QByteArray kOldFile = "Page Number | Value | Description\n0000 | 0 | an older backup\n";

QByteArray changedGolden()
{
    return fileBytes(QStringLiteral(TEST_DATA_DIR "/read_three_pages.nvr"))
        .replace("0001 | 57600 |", "0001 | 38400 |");
}

QByteArray uncarriedGolden()
{
    return fileBytes(QStringLiteral(TEST_DATA_DIR "/read_three_pages.nvr"))
        .replace("Baud rate", "Rate 50%")
        .replace("Temp\xc3\xa9rature", "Temp | C");
}

enum class Command { Read, Verify, Write, WriteVerify, WriteBackup, Backup };
// UncarriedText: the board holds a "%" in page 0001's description and a "|" in page 0002's, as
// uncarriedGolden() has them. FileIsFifo: FILE, or BACKUP for a write with a backup, is a FIFO.
enum class Fault {
    None,
    Silent,
    HangUpMidRead,
    SilentMidWrite,
    PortHeld,
    PortHeldThroughLink,
    StopMidWrite,
    TwoUnanswered, // the value write and "$24%": answers cut off at the length limit
    BackupIsFile, // through another path
    BackupLinksToFile,
    ReplacedMidBackup,
    SignalWhileSilent,
    FifoLockFile,
    ZeroLockFile,
    EscapeInPort,
    UncarriedText,
    FileIsFifo,
    BackupUnchanged, // the newest backup holds what the board holds
    BackupChanged, // the newest backup holds another value of page 0001
    BackupPruned, // three older backups, and beside them files and a link that are not theirs
    BackupNameTaken, // a backup of the name that this one would get
};

} // namespace

class TestNvrBoard : public QObject, protected BoardFixture {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void commandAgainstBoard_data();
    void commandAgainstBoard();
    void signalEndsReadCleanly();

private:
    QString m_noPrivateLocks; // why lock files cannot be planted, when they cannot
};

void TestNvrBoard::initTestCase() { m_noPrivateLocks = usePrivateLockFolder(); }

void TestNvrBoard::init()
{
    QVERIFY2(makeFixture(Folder | Board), qPrintable(m_fixtureError));
    QVERIFY2(m_sim->loadNvr(QStringLiteral(TEST_DATA_DIR "/read_three_pages.nvr")),
        qPrintable(m_sim->errorString()));
}

void TestNvrBoard::cleanup() { dropFixture(); }

// FILE is "file.nvr" in the test's folder: fileBefore is written there first (empty: none), and
// is what it must hold afterwards unless fileAfter says otherwise.
void TestNvrBoard::commandAgainstBoard_data()
{
    QTest::addColumn<Command>("command");
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<QByteArray>("fileBefore");
    QTest::addColumn<QByteArray>("fileAfter");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");
    // A part of it, or its start when it starts with "riz-nvr: "; %1 is the port, {file} FILE.
    QTest::addColumn<QString>("err");
    QTest::addColumn<QByteArray>("board"); // value of page 0001 afterwards

    const QByteArray golden = fileBytes(QStringLiteral(TEST_DATA_DIR "/read_three_pages.nvr"));
    QTest::newRow("readGivesTheWindowsBytes") << Command::Read << Fault::None << kOldFile << golden
                                              << 0 << QString() << QString() << QByteArray("57600");
    QTest::newRow("readSilentBoard")
        << Command::Read << Fault::Silent << kOldFile << kOldFile << 1 << QString()
        << QStringLiteral("riz-nvr: the CTL PCB does not answer on %1\n") << QByteArray("57600");
    QTest::newRow("readBoardHangsUp")
        << Command::Read << Fault::HangUpMidRead << kOldFile << kOldFile << 1 << QString()
        << QStringLiteral("riz-nvr: %1: The link to the CTL PCB was lost at page 0001: 1 of 3 "
                          "pages were read. Nothing was saved: {file} is unchanged.\n"
                          "riz-nvr: %1 is gone: the adapter may have been unplugged.\n")
        << QByteArray("57600");
    // The holder leads; Qt's "Permission error while locking the device" comes after it.
    const QString inUse = QStringLiteral("riz-nvr: %1 is in use by port-probe (pid ");
    QTest::newRow("readNamesPagesTheFileCannotCarryBack")
        << Command::Read << Fault::UncarriedText << kOldFile << uncarriedGolden() << 1 << QString()
        << QStringLiteral("riz-nvr: The read is saved in {file}, but 2 pages hold characters "
                          "that the file cannot carry back to the board:\n"
                          "riz-nvr: page 0001: \"%\" in the description\n"
                          "riz-nvr: page 0002: \"|\" in the description\n")
        << QByteArray("57600");
    QTest::newRow("readIntoFifoSendsNothing")
        << Command::Read << Fault::FileIsFifo << QByteArray() << QByteArray() << 2 << QString()
        << QStringLiteral("it is a pipe (FIFO), and a read replaces only a file or a link. "
                          "Nothing was read from the board.\n")
        << QByteArray("57600");
    QTest::newRow("readPortHeld") << Command::Read << Fault::PortHeld << kOldFile << kOldFile << 2
                                  << QString() << inUse << QByteArray("57600");
    // The holder opens as the window does, by the link; riz-nvr is given the device.
    QTest::newRow("readPortHeldThroughLink")
        << Command::Read << Fault::PortHeldThroughLink << kOldFile << kOldFile << 2 << QString()
        << inUse << QByteArray("57600");
    // The signal comes while the answer to "$23" for page 0001 is awaited in vain.
    QTest::newRow("readSignalWhileSilent")
        << Command::Read << Fault::SignalWhileSilent << kOldFile << kOldFile << 143 << QString()
        << QStringLiteral("The read stopped at page 0001") << QByteArray("57600");
    const QString lockSentence
        = QStringLiteral("riz-nvr: %1 cannot be locked: /var/lock/LCK..{lock} is %2, not a lock "
                         "file that a program makes. Remove it (sudo rm /var/lock/LCK..{lock}), "
                         "then try again.\n");
    QTest::newRow("readFifoAsLockFile")
        << Command::Read << Fault::FifoLockFile << kOldFile << kOldFile << 2 << QString()
        << lockSentence.arg(QStringLiteral("%1"), QStringLiteral("a named pipe"))
        << QByteArray("57600");
    QTest::newRow("writeZeroLinkAsLockFile")
        << Command::Write << Fault::ZeroLockFile << changedGolden() << changedGolden() << 2
        << QString() << lockSentence.arg(QStringLiteral("%1"), QStringLiteral("a link"))
        << QByteArray("57600");
    QTest::newRow("readEscapesPort")
        << Command::Read << Fault::EscapeInPort << kOldFile << kOldFile << 2 << QString()
        << QStringLiteral("/riz-no\\x1b[2Jport is gone") << QByteArray("57600");
    QTest::newRow("verifySame") << Command::Verify << Fault::None << golden << golden << 0
                                << QStringLiteral("0 of 3 pages differ; 0 on the board only\n")
                                << QString() << QByteArray("57600");
    QTest::newRow("verifyNamesChangedPage")
        << Command::Verify << Fault::None << changedGolden() << changedGolden() << 1
        << QStringLiteral("page 0001 value differs: file \"38400\", board \"57600\"\n"
                          "1 of 3 pages differ; 0 on the board only\n")
        << QString() << QByteArray("57600");
    // The file holds what the read saved; the board's own text is compared.
    QTest::newRow("verifyComparesBoardTextNotFile")
        << Command::Verify << Fault::UncarriedText << uncarriedGolden() << uncarriedGolden() << 1
        << QStringLiteral("page 0002 description differs: file \"Temp\", board \"Temp | C\"\n"
                          "1 of 3 pages differ; 0 on the board only\n")
        << QString() << QByteArray("57600");
    QTest::newRow("verifySilentBoardIsTrouble")
        << Command::Verify << Fault::Silent << golden << golden << 2 << QString()
        << QStringLiteral("does not answer") << QByteArray("57600");
    QTest::newRow("writeVerifyChangedFile")
        << Command::WriteVerify << Fault::None << changedGolden() << changedGolden() << 0
        << QStringLiteral("0 of 3 pages differ; 0 on the board only\n") << QString()
        << QByteArray("38400");
    QTest::newRow("writeBackupThatCannotRestoreWritesNothing")
        << Command::WriteBackup << Fault::UncarriedText << changedGolden() << changedGolden() << 1
        << QString()
        << QStringLiteral("page 0002: \"|\" in the description\n"
                          "riz-nvr: A \"|\" splits a value or a description when the file is "
                          "read, and \"$\", \"%\" and NUL cannot be written to the board: "
                          "writing this file back would not restore these pages as they are now.\n"
                          "riz-nvr: the backup cannot restore the board: nothing was written\n")
        << QByteArray("57600");
    QTest::newRow("writeBackupIntoFifoSendsNothing")
        << Command::WriteBackup << Fault::FileIsFifo << changedGolden() << changedGolden() << 2
        << QString()
        << QStringLiteral("it is a pipe (FIFO), and a read replaces only a file or a link. "
                          "Nothing was read from the board.\n")
        << QByteArray("57600");
    QTest::newRow("writeRefusesPercent")
        << Command::Write << Fault::None << QByteArray(golden).replace("57600", "80%")
        << QByteArray(golden).replace("57600", "80%") << 2 << QString()
        << QStringLiteral("file.nvr:3: refused: \"%\" in the value") << QByteArray("57600");
    QTest::newRow("writeRefusesDollarSendingNothing")
        << Command::Write << Fault::None << QByteArray(golden).replace("Baud rate", "Cost $24")
        << QByteArray(golden).replace("Baud rate", "Cost $24") << 2 << QString()
        << QStringLiteral("file.nvr:3: refused: \"$\" in the description: the board starts a new "
                          "command there\n")
        << QByteArray("57600");
    QTest::newRow("writeRefusesBackupOntoFile")
        << Command::WriteBackup << Fault::BackupIsFile << changedGolden() << changedGolden() << 2
        << QString() << QStringLiteral("the file to write: nothing was sent")
        << QByteArray("57600");
    QTest::newRow("writeRefusesBackupOntoLinkToFile")
        << Command::WriteBackup << Fault::BackupLinksToFile << changedGolden() << changedGolden()
        << 2 << QString() << QStringLiteral("the file to write: nothing was sent")
        << QByteArray("57600");
    QTest::newRow("writeSendsFileAsCheckedThoughReplacedMidBackup")
        << Command::WriteBackup << Fault::ReplacedMidBackup << changedGolden()
        << QByteArray(golden).replace("57600", "11111") << 0 << QString() << QString()
        << QByteArray("38400");
    QTest::newRow("writeSaysSaveWentOutAfterUnansweredCommands")
        << Command::Write << Fault::TwoUnanswered
        << QByteArray("Page Number | Value | Description\n0001 | 38400 | Baud rate\n")
        << QByteArray("Page Number | Value | Description\n0001 | 38400 | Baud rate\n") << 1
        << QString()
        << QStringLiteral("%1: The board gave no complete answer to 2 of 3 commands: for page "
                          "0001, and for \"$24%\". \"$24%\" was sent all the same, so the board "
                          "was told to save")
        << QByteArray("38400");
    QTest::newRow("writeSilentMidWriteSendsNoEnd")
        << Command::Write << Fault::SilentMidWrite << changedGolden() << changedGolden() << 1
        << QString() << QStringLiteral("The write stopped") << QByteArray("38400");
    QTest::newRow("writeStoppedSendsNoEnd")
        << Command::Write << Fault::StopMidWrite << changedGolden() << changedGolden() << 143
        << QString() << QStringLiteral("The write was interrupted at page 0001.")
        << QByteArray("57600");
    // Backups go into the test's folder, beside FILE, as oven3 at 2030-01-01T00:00Z.
    const QString saved = QStringLiteral("saved {dir}/oven3-2030-01-01T000000Z.nvr (3 pages); ");
    QTest::newRow("backupFirstGivesTheReadsBytes")
        << Command::Backup << Fault::None << kOldFile << kOldFile << 0
        << saved + QStringLiteral("1 kept, 0 removed\n") << QString() << QByteArray("57600");
    QTest::newRow("backupUnchangedMakesNoFile")
        << Command::Backup << Fault::BackupUnchanged << kOldFile << kOldFile << 0
        << QStringLiteral("unchanged since {dir}/oven3-2000-01-01T000000Z.nvr\n") << QString()
        << QByteArray("57600");
    QTest::newRow("backupChangedPageMakesNewFile")
        << Command::Backup << Fault::BackupChanged << kOldFile << kOldFile << 0
        << saved + QStringLiteral("2 kept, 0 removed\n") << QString() << QByteArray("57600");
    QTest::newRow("backupKeepsTwoOfItsOwnOnly")
        << Command::Backup << Fault::BackupPruned << kOldFile << kOldFile << 0
        << saved + QStringLiteral("2 kept, 2 removed\n") << QString() << QByteArray("57600");
    // The newest backup holds the board's pages, which it cannot carry back: each night says so.
    QTest::newRow("backupUnchangedStillNamesPagesTheFileCannotCarryBack")
        << Command::Backup << Fault::UncarriedText << kOldFile << kOldFile << 1
        << QStringLiteral("unchanged since {dir}/oven3-2000-01-01T000000Z.nvr\n")
        << QStringLiteral("riz-nvr: The read is saved in {dir}/oven3-2000-01-01T000000Z.nvr, but "
                          "2 pages hold characters that the file cannot carry back to the board:\n")
        << QByteArray("57600");
    QTest::newRow("backupSilentBoardSavesNothing")
        << Command::Backup << Fault::Silent << kOldFile << kOldFile << 1 << QString()
        << QStringLiteral("riz-nvr: the CTL PCB does not answer on %1\n") << QByteArray("57600");
    QTest::newRow("backupInTheSameSecondReplacesNothing")
        << Command::Backup << Fault::BackupNameTaken << kOldFile << kOldFile << 2 << QString()
        << QStringLiteral("riz-nvr: {dir}/oven3-2030-01-01T000000Z.nvr already exists, so this "
                          "backup was not saved")
        << QByteArray("57600");
}

void TestNvrBoard::commandAgainstBoard()
{
    QFETCH(Command, command);
    QFETCH(Fault, fault);
    QFETCH(QByteArray, fileBefore);
    QFETCH(QByteArray, fileAfter);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QFETCH(QByteArray, board);

    const QString file = m_dir->filePath(QStringLiteral("file.nvr"));
    const QString backup = m_dir->filePath(QStringLiteral("backup.nvr"));
    const bool fileIsFifo = fault == Fault::FileIsFifo && command != Command::WriteBackup;
    if (fault == Fault::FileIsFifo)
        QVERIFY(::mkfifo(QFile::encodeName(fileIsFifo ? file : backup).constData(), 0600) == 0);
    if (!fileIsFifo)
        writeTestFile(file, fileBefore);
    // The backups in the folder before a backup, with their bytes; those the backup removes; a
    // link with the greatest name, to a file that holds what the board holds.
    const QByteArray golden = fileBytes(QStringLiteral(TEST_DATA_DIR "/read_three_pages.nvr"));
    const QString newBackup = QStringLiteral("oven3-2030-01-01T000000Z.nvr");
    const QString oldBackup = QStringLiteral("oven3-2000-01-01T000000Z.nvr");
    QMap<QString, QByteArray> planted;
    QStringList pruned;
    const QString backupLink = QStringLiteral("oven3-9999-12-31T235959Z.nvr");
    if (fault == Fault::BackupUnchanged)
        planted[oldBackup] = golden;
    else if (fault == Fault::BackupChanged)
        planted[oldBackup] = changedGolden();
    else if (fault == Fault::BackupNameTaken)
        planted[newBackup] = changedGolden();
    else if (fault == Fault::UncarriedText && command == Command::Backup)
        planted[oldBackup] = uncarriedGolden();
    if (fault == Fault::BackupPruned) {
        pruned = QStringList { oldBackup, QStringLiteral("oven3-2000-01-02T000000Z.nvr") };
        for (const QString &name : pruned
                + QStringList { "oven3-2000-01-03T000000Z.nvr", oldBackup + QLatin1Char('~'),
                    "other-2000-01-01T000000Z.nvr" })
            planted[name] = changedGolden();
        QVERIFY(QFile::link(
            QStringLiteral(TEST_DATA_DIR "/read_three_pages.nvr"), m_dir->filePath(backupLink)));
    }
    for (auto it = planted.cbegin(); it != planted.cend(); ++it)
        writeTestFile(m_dir->filePath(it.key()), it.value());
    if (fault == Fault::UncarriedText) {
        QList<BoardParameter> table = m_sim->parameters();
        table[1].description = QStringLiteral("Rate 50%");
        table[2].description = QStringLiteral("Temp | C");
        m_sim->setParameters(table);
    }
    QProcess holder;
    std::atomic<int> signalNumber { 0 };
    const QString lockName = m_sim->portPath().mid(5).replace(QLatin1Char('/'), QLatin1Char('_'));
    const QString lockFile = QStringLiteral("/var/lock/LCK..") + lockName;
    const bool plantLock = fault == Fault::FifoLockFile || fault == Fault::ZeroLockFile;
    if (plantLock && !m_noPrivateLocks.isEmpty())
        QSKIP(qPrintable(m_noPrivateLocks));
    // The next row's board may get the same pty.
    const auto removeLock = qScopeGuard([&] {
        if (plantLock)
            QFile::remove(lockFile);
    });
    if (fault == Fault::FifoLockFile)
        QVERIFY(::mkfifo(QFile::encodeName(lockFile).constData(), 0644) == 0);
    else if (fault == Fault::ZeroLockFile)
        QVERIFY(QFile::link(QStringLiteral("/dev/zero"), lockFile));
    if (fault == Fault::Silent)
        m_sim->setSilent(true);
    else if (fault == Fault::HangUpMidRead)
        m_sim->setHangUpAfterCommands(4, 3);
    else if (fault == Fault::SilentMidWrite)
        m_sim->setSilentAfterCommands(4);
    else if (fault == Fault::TwoUnanswered) {
        // Cut off at once: no response window is sat out.
        for (const QByteArray &command : { QByteArray("$20000138400%"), QByteArray("$24%") })
            m_sim->setAnswerOverride(command, QByteArray(kMaxResponseChars + 1, 'x'));
    }
    if (fault == Fault::SignalWhileSilent) {
        // Only this command goes unanswered; the farewell is answered again.
        m_sim->setAnswerOverride("$230001%", QByteArray());
        // As the program's handler does, from outside the exchange.
        m_sim->setObserver([&signalNumber](const ReceivedCommand &received, const QByteArray &) {
            if (received.bytes == "$230001%")
                signalNumber = SIGTERM;
        });
    }
    // A held port is given by a link to one side, and as its device to the other: both name
    // the holder by the device.
    const QString link = m_dir->filePath(QStringLiteral("by-id/usb-board"));
    const bool held = fault == Fault::PortHeld || fault == Fault::PortHeldThroughLink;
    if (held) {
        QVERIFY(placeBoardLink(link, m_sim->portPath()));
        holder.start(QStringLiteral(PORT_PROBE_EXE),
            { QStringLiteral("hold"), fault == Fault::PortHeld ? m_sim->portPath() : link });
        QVERIFY(holder.waitForReadyRead(10000));
    }

    const DebugCapture debugLines;
    QString outText;
    QString errText;
    QTextStream outStream(&outText);
    QTextStream errStream(&errText);
    BoardRun run;
    run.timings = kTestTimings;
    run.out = &outStream;
    run.err = &errStream;
    int asked = 0;
    if (fault == Fault::StopMidWrite)
        run.stopSignal = [&asked] { return ++asked > 3 ? SIGTERM : 0; };
    else if (fault == Fault::SignalWhileSilent)
        run.stopSignal = [&signalNumber] { return signalNumber.load(); };
    const QByteArray replacement = fileAfter;
    if (fault == Fault::ReplacedMidBackup) {
        // Asked before each exchange: the third is inside the backup's read.
        run.stopSignal = [&asked, &file, &replacement] {
            if (++asked == 3)
                writeTestFile(file, replacement);
            return 0;
        };
    }
    QString port = m_sim->portPath();
    if (fault == Fault::PortHeld)
        port = link;
    else if (fault == Fault::EscapeInPort)
        port = m_dir->filePath(QStringLiteral("riz-no\x1b[2Jport"));
    int status = -1;
    switch (command) {
    case Command::Read:
        status = ReadBoard(run, port, file);
        break;
    case Command::Verify:
        status = VerifyBoard(run, port, file, false);
        break;
    case Command::Write:
    case Command::WriteVerify:
    case Command::WriteBackup: {
        WriteOptions options;
        options.verify = command == Command::WriteVerify;
        if (command == Command::WriteBackup)
            options.backup = backup;
        if (fault == Fault::BackupIsFile)
            options.backup = m_dir->path() + QStringLiteral("/../")
                + QFileInfo(m_dir->path()).fileName() + QStringLiteral("/file.nvr");
        else if (fault == Fault::BackupLinksToFile)
            QVERIFY(QFile::link(file, options.backup));
        status = WriteBoard(run, port, file, options);
        break;
    }
    case Command::Backup: {
        BackupOptions options;
        options.prefix = QStringLiteral("oven3");
        options.keep = fault == Fault::BackupPruned ? 2 : 30;
        // The name carries the time in UTC.
        options.time = QDateTime(QDate(2030, 1, 1), QTime(1, 0), QTimeZone(3600));
        status = BackupBoard(run, port, m_dir->path(), options);
        break;
    }
    }
    holder.closeWriteChannel();
    holder.waitForFinished(10000);

    QCOMPARE(outText, QString(out).replace(QLatin1String("{dir}"), m_dir->path()));
    const QString expectedErr = QString(err)
                                    .replace(QLatin1String("{file}"), file)
                                    .replace(QLatin1String("{dir}"), m_dir->path())
                                    .replace(QLatin1String("{lock}"), lockName)
                                    .arg(m_sim->portPath().mid(5));
    if (err.isEmpty())
        QCOMPARE(errText, QString());
    else if (err.startsWith(QLatin1String("riz-nvr: ")))
        QVERIFY2(errText.startsWith(expectedErr), qPrintable(errText));
    else
        QVERIFY2(errText.contains(expectedErr), qPrintable(errText));
    QVERIFY(!errText.contains(QChar(0x1b)));
    QCOMPARE(status, exitCode);
    if (fileIsFifo)
        QVERIFY(QFileInfo(file).exists() && !QFileInfo(file).isFile());
    else
        QCOMPARE(fileBytes(file), fileAfter);
    // No temporary is left; a replaced file is kept as FILE~.
    QCOMPARE(QDir(m_dir->path()).entryList({ QStringLiteral(".*") }, QDir::Files | QDir::Hidden),
        QStringList());
    if (fileAfter != fileBefore && fault != Fault::ReplacedMidBackup)
        QCOMPARE(fileBytes(file + QLatin1Char('~')), fileBefore);
    if (command == Command::Backup) {
        QStringList expected { QStringLiteral("file.nvr") };
        for (const QString &name : planted.keys()) {
            if (!pruned.contains(name)) {
                expected << name;
                QCOMPARE(fileBytes(m_dir->filePath(name)), planted.value(name));
            }
        }
        if (fault == Fault::BackupPruned)
            expected << backupLink;
        if (out.startsWith(QLatin1String("saved "))) {
            expected << newBackup;
            QCOMPARE(fileBytes(m_dir->filePath(newBackup)), golden);
        }
        expected.sort();
        QCOMPARE(
            QDir(m_dir->path())
                .entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDir::Name),
            expected);
    }
    QCOMPARE(m_sim->parameters().value(1).value.toUtf8(), board);
    const QList<QByteArray> commands = m_sim->commandBytes();
    // A write refused is refused before the port is opened.
    if (command != Command::Read && command != Command::Verify && command != Command::Backup
        && exitCode == 2)
        QCOMPARE(commands, QList<QByteArray>());
    QVERIFY(!commands.contains("$24%") || command != Command::Write || exitCode == 0
        || fault == Fault::TwoUnanswered);
    if (fault == Fault::Silent)
        QCOMPARE(commands, QList<QByteArray> { "$90%" });
    else if (fault == Fault::FileIsFifo)
        QCOMPARE(commands, QList<QByteArray>());
    else if (fault != Fault::HangUpMidRead && !held && !commands.isEmpty())
        QCOMPARE(commands.constLast(), QByteArray("$90%"));
}

// The real program, stopped by SIGTERM in the middle of a read that a slow board makes long.
void TestNvrBoard::signalEndsReadCleanly()
{
    m_sim->generateParameters(200);
    // The whole read would take 20 s: the signal comes long before its end.
    m_sim->setLatencyMs(50);
    const QString file = m_dir->filePath(QStringLiteral("file.nvr"));
    writeTestFile(file, kOldFile);
    QProcess tool;
    tool.start(QStringLiteral(RIZ_NVR_EXE), { QStringLiteral("read"), m_sim->portPath(), file });
    QVERIFY(m_sim->waitForCommandCount(5, 10000));
    ::kill(pid_t(tool.processId()), SIGTERM);
    QVERIFY(tool.waitForFinished(10000));
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), 128 + SIGTERM);
    QCOMPARE(fileBytes(file), kOldFile);
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden), QStringList { "file.nvr" });
    QCOMPARE(m_sim->commandBytes().constLast(), QByteArray("$90%"));
    const QByteArray err = tool.readAllStandardError();
    QVERIFY2(err.contains("The read stopped at page"), err.constData());
}

QTEST_GUILESS_MAIN(TestNvrBoard)
#include "tst_nvrboard.moc"
