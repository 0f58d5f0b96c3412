// Reading the board into an ".nvr" file, without a window, against the simulated board on a pty.
#include "boardfixture.h"

#include "link/seriallink.h"
#include "nvram/backupfile.h"
#include "nvram/nvrformat.h"
#include "nvram/readtransfer.h"
#include "nvram/transfermessages.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

const QString kLengthDebugLine
    = QStringLiteral("DataValid = false - RCV_Str.length() is longer than sentStringLength");
const QString kEndDebugLine = QStringLiteral("DataValid = false - PGNum > CtlParamEndPage");

ino_t inode(const QString &path)
{
    struct stat info { };
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_ino : 0;
}

// The permission bits of a regular file under path itself; -1 for anything else, a link too.
int regularFileMode(const QString &path)
{
    struct stat info { };
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return -1;
    return int(info.st_mode & 07777);
}

QStringList folderEntries(const QString &path)
{
    return QDir(path).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

} // namespace

Q_DECLARE_METATYPE(BoardParameter)

enum class Fault { None, Silent, HangUp };
enum class Planted { Nothing, NameLinksToPrivateFile, NameLinksNowhere, TildeLinksToPrivateFile };
enum class Existing { Nothing, SmallFile, LargeFile, Folder, Fifo };

class TestReadTransfer : public QObject, protected BoardFixture {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void threePageBoardGivesGoldenFile_data();
    void threePageBoardGivesGoldenFile();
    void pageZeroValueMustBePageNumber_data();
    void pageZeroValueMustBePageNumber();
    void valueIsAnswerFromItsEighthCharacter_data();
    void valueIsAnswerFromItsEighthCharacter();
    void failedReadSavesNothing_data();
    void failedReadSavesNothing();
    void writtenFileWalksBackToBoardTable_data();
    void writtenFileWalksBackToBoardTable();
    void typedNameIsSavedAsTyped_data();
    void typedNameIsSavedAsTyped();
    void unwritableFileIsReported_data();
    void unwritableFileIsReported();

private:
    ReadResult readBoardInto(const QString &path);

    QStringList m_progress;
    int m_exchanges = 0;
};

void TestReadTransfer::init()
{
    QVERIFY2(makeFixture(Folder | Link | Debug), qPrintable(m_fixtureError));
}

void TestReadTransfer::cleanup() { dropFixture(); }

ReadResult TestReadTransfer::readBoardInto(const QString &path)
{
    m_progress.clear();
    m_exchanges = 0;
    TransferHooks hooks;
    hooks.progress = [this](const QString &text, int) { m_progress << text; };
    hooks.beforeExchange = [this] { ++m_exchanges; };
    return ReadTransfer(*m_link, hooks).ReadCtlToFile(path);
}

void TestReadTransfer::threePageBoardGivesGoldenFile_data()
{
    QTest::addColumn<QByteArray>("existingContent");
    QTest::addColumn<int>("planted");
    QTest::addColumn<int>("mode"); // of the file the read replaces, and then of both files

    QTest::newRow("newFile") << QByteArray() << int(Planted::Nothing) << 0640;
    QTest::newRow("longerFileIsReplacedAndKept")
        << QByteArray(4096, 'x') << int(Planted::Nothing) << 0640;
    QTest::newRow("privateFileStaysPrivate")
        << QByteArray("old backup\n") << int(Planted::Nothing) << 0600;
    QTest::newRow("linkToPrivateFile")
        << QByteArray() << int(Planted::NameLinksToPrivateFile) << 0640;
    QTest::newRow("danglingLink") << QByteArray() << int(Planted::NameLinksNowhere) << 0640;
    QTest::newRow("previousKeptDespiteLinkUnderTilde")
        << QByteArray("old backup\n") << int(Planted::TildeLinksToPrivateFile) << 0664;
}

// A colleague in the group can plant links in the shared folder: the read replaces a link
// under the name, or under NAME~, itself and never writes or creates what it points to.
void TestReadTransfer::threePageBoardGivesGoldenFile()
{
    QFETCH(QByteArray, existingContent);
    QFETCH(int, planted);
    QFETCH(int, mode);
    const QString path = m_dir->filePath(QStringLiteral("three.nvr"));
    const QString tilde = path + QLatin1Char('~');
    QTemporaryDir elsewhere;
    const QString privateFile = elsewhere.filePath(QStringLiteral("private"));
    const QByteArray privateBytes = "not for the group\n";
    writeTestFile(privateFile, privateBytes);
    QVERIFY(QFile::setPermissions(privateFile, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    const QString nowhere = elsewhere.filePath(QStringLiteral("nowhere.nvr"));
    if (!existingContent.isEmpty()) {
        writeTestFile(path, existingContent);
        QVERIFY(::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0);
    } else if (planted == int(Planted::NameLinksToPrivateFile))
        QVERIFY(QFile::link(privateFile, path));
    else if (planted == int(Planted::NameLinksNowhere))
        QVERIFY(QFile::link(nowhere, path));
    if (planted == int(Planted::TildeLinksToPrivateFile))
        QVERIFY(QFile::link(privateFile, tilde));
    else if (!existingContent.isEmpty())
        writeTestFile(tilde, "the backup before\n");
    const ino_t oldInode = inode(path);
    setBoard({ { QStringLiteral("2"), QStringLiteral("Last parameter page") },
        { QStringLiteral("57600"), QStringLiteral("Baud rate") },
        { QStringLiteral("-12 "), QString::fromLatin1("Temp\xe9rature") } });

    const mode_t previousMask = ::umask(027);
    const ReadResult result = readBoardInto(path);
    ::umask(previousMask);

    QCOMPARE(ReadResultMessage(result), QString());
    const QList<QByteArray> expectedCommands { "$220000%", "$230000%", "$220001%", "$230001%",
        "$220002%", "$230002%" };
    QCOMPARE(m_sim->commandBytes(), expectedCommands);
    QCOMPARE(fileBytes(path), fileBytes(QStringLiteral(TEST_DATA_DIR "/read_three_pages.nvr")));
    // Replaced in one step by a rename, never rewritten in place; a new file is readable by the
    // group, a replaced one keeps its mode.
    if (oldInode != 0)
        QVERIFY(inode(path) != oldInode);
    QCOMPARE(regularFileMode(path), mode);
    QCOMPARE(fileBytes(privateFile), privateBytes);
    QVERIFY(!QFileInfo::exists(nowhere));
    // One generation is kept, and only a regular file's.
    if (existingContent.isEmpty()) {
        QCOMPARE(folderEntries(m_dir->path()), QStringList { "three.nvr" });
    } else {
        QCOMPARE(folderEntries(m_dir->path()), (QStringList { "three.nvr", "three.nvr~" }));
        QCOMPARE(fileBytes(tilde), existingContent);
        QCOMPARE(regularFileMode(tilde), mode);
    }
    QVERIFY(m_debug->contains(kEndDebugLine));
    QVERIFY(!m_debug->contains(kLengthDebugLine));
    QCOMPARE(m_progress,
        QStringList({ "Reading page 0000", "Reading page 0001 of 0002 (50 %)",
            "Reading page 0002 of 0002 (100 %)" }));
    QCOMPARE(m_exchanges, 6);
}

void TestReadTransfer::pageZeroValueMustBePageNumber_data()
{
    QTest::addColumn<QString>("pageZeroValue");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("zero") << "0" << true;
    QTest::newRow("leadingZeros") << "0000" << true;
    QTest::newRow("notANumber") << "abc" << false;
    QTest::newRow("negative") << "-1" << false;
    QTest::newRow("beyondInt") << "99999999999" << false;
    QTest::newRow("oneBeyondInt") << "2147483648" << false;
    QTest::newRow("leadingPlus") << "+3" << false;
    QTest::newRow("blanksAround") << " 3 " << false;
    // Quoted as it came; the window shows it as plain text.
    QTest::newRow("markup") << "<b>4</b>" << false;
    // A terminal that shows riz-nvr's message must not act on it.
    QTest::newRow("escapeSequence") << "4\x1b[2J" << false;
}

// Only page 0's value tells how many pages there are: a value that is no page number would
// save a one-page file as if it were the whole board.
void TestReadTransfer::pageZeroValueMustBePageNumber()
{
    QFETCH(QString, pageZeroValue);
    QFETCH(bool, accepted);
    m_sim->generateParameters(4);
    QList<BoardParameter> table = m_sim->parameters();
    table[0].value = pageZeroValue;
    setBoard(table);
    const QString path = m_dir->filePath(QStringLiteral("zero.nvr"));

    const ReadResult result = readBoardInto(path);

    QCOMPARE(m_sim->commandBytes(), (QList<QByteArray> { "$220000%", "$230000%" }));
    QCOMPARE(m_debug->contains(kEndDebugLine), accepted);
    if (accepted) {
        QCOMPARE(fileBytes(path), expectedNvrFile(table, 1));
        QCOMPARE(ReadResultMessage(result), QString());
    } else {
        QCOMPARE(folderEntries(m_dir->path()), QStringList());
        QCOMPARE(ReadResultMessage(result),
            QStringLiteral("The read stopped: page 0000 gives the number of the last "
                           "page, but the CTL PCB sent \"%1\", which is not a page "
                           "number from 0 to 2147483647. Nothing was saved: %2 was "
                           "not created.")
                .arg(QString(pageZeroValue).replace('\x1b', "\\x1b"), path));
    }
}

void TestReadTransfer::valueIsAnswerFromItsEighthCharacter_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("value");

    QTest::newRow("nineCharacters") << QByteArray("$220001X#") << "X";
    QTest::newRow("prefixNotCompared") << QByteArray("ABCDEFGvalue#") << "value";
    QTest::newRow("twoHundredCharacters")
        << QByteArray("$220001" + QByteArray(192, 'v') + "#") << QString(192, QLatin1Char('v'));
}

void TestReadTransfer::valueIsAnswerFromItsEighthCharacter()
{
    QFETCH(QByteArray, answer);
    QFETCH(QString, value);
    m_sim->generateParameters(2);
    QList<BoardParameter> table = m_sim->parameters();
    setBoard(table);
    m_sim->setAnswerOverride("$220001%", answer);
    const QString path = m_dir->filePath(QStringLiteral("value.nvr"));

    const ReadResult result = readBoardInto(path);

    table[1].value = value;
    QCOMPARE(fileBytes(path), expectedNvrFile(table, 3));
    QCOMPARE(ReadResultMessage(result), QString());
}

void TestReadTransfer::failedReadSavesNothing_data()
{
    QTest::addColumn<QString>("pageZeroValue");
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("commandsSent");
    QTest::addColumn<bool>("descriptionFailed");
    QTest::addColumn<bool>("existing");
    QTest::addColumn<QString>("box");

    const QString stoppedAtThree
        = QStringLiteral("The read stopped at page 0003: 3 of 6 pages were read. ");
    const QString lostAtThree
        = QStringLiteral("The link to the CTL PCB was lost at page 0003: 3 of 6 pages were read. ");
    const QString unchanged = QStringLiteral("Nothing was saved: %1 is unchanged.");
    const QString notCreated = QStringLiteral("Nothing was saved: %1 was not created.");
    const QByteArray value3 = "$220003%";
    for (const bool existing : { true, false }) {
        const QString kept = existing ? unchanged : notCreated;
        const auto tag = [existing](const char *name) {
            return QByteArray(name) + (existing ? "/existingFile" : "/noFile");
        };
        QTest::newRow(tag("valueAnswerOfCommandLength").constData())
            << "5" << value3 << QByteArray("$220003#") << 0 << 8 << false << existing
            << stoppedAtThree + kept;
        QTest::newRow(tag("descriptionAnswerOfCommandLength").constData())
            << "5" << QByteArray("$230003%") << QByteArray("$230003#") << 0 << 8 << true << existing
            << stoppedAtThree + kept;
        QTest::newRow(tag("stalledValueAnswer").constData())
            << "5" << value3 << QByteArray("$2200031234") << 0 << 8 << false << existing
            << stoppedAtThree + kept;
        QTest::newRow(tag("overlongValueAnswer").constData())
            << "5" << value3 << "$220003" + QByteArray(193, 'v') + "#" << 0 << 8 << false
            << existing << stoppedAtThree + kept;
        QTest::newRow(tag("lineBreakInValue").constData())
            << "5" << value3 << QByteArray("$220003ab\ncd#") << 0 << 8 << false << existing
            << stoppedAtThree + kept;
        QTest::newRow(tag("carriageReturnInDescription").constData())
            << "5" << QByteArray("$230003%") << QByteArray("$230003x\ry#") << 0 << 8 << true
            << existing << stoppedAtThree + kept;
        QTest::newRow(tag("boardLostAtPageThree").constData())
            << "5" << QByteArray() << QByteArray() << int(Fault::HangUp) << 7 << true << existing
            << lostAtThree + kept;
        QTest::newRow(tag("pageZeroValueFails").constData())
            << "5" << QByteArray("$220000%") << QByteArray("$220000#") << 0 << 2 << false
            << existing
            << QStringLiteral("The read stopped at page 0000: no page could be read. ") + kept;
    }
    QTest::newRow("silentBoardAtPageThree/existingFile")
        << "5" << QByteArray() << QByteArray() << int(Fault::Silent) << 8 << true << true
        << stoppedAtThree + unchanged;
    QTest::newRow("boardEndsBeforeLargestIntPage/noFile")
        << "2147483647" << QByteArray() << QByteArray() << 0 << 14 << true << false
        << QStringLiteral("The read stopped at page 0006: 6 of 2147483648 pages were read. ")
            + notCreated;
}

// A backup is never replaced by an incomplete read: the old file stays as it was, and no new
// file, not even a temporary one, is left behind.
void TestReadTransfer::failedReadSavesNothing()
{
    QFETCH(QString, pageZeroValue);
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, answer);
    QFETCH(int, fault);
    QFETCH(int, commandsSent);
    QFETCH(bool, descriptionFailed);
    QFETCH(bool, existing);
    QFETCH(QString, box);
    m_sim->generateParameters(5);
    QList<BoardParameter> table = m_sim->parameters();
    table[0].value = pageZeroValue;
    setBoard(table);
    if (!command.isEmpty())
        m_sim->setAnswerOverride(command, answer);
    // Pages 0 to 2 are answered, then the board goes silent or drops the line.
    if (fault == int(Fault::Silent))
        m_sim->setSilentAfterCommands(6);
    if (fault == int(Fault::HangUp))
        m_sim->setHangUpAfterCommands(7);
    const QString path = m_dir->filePath(QStringLiteral("stopped.nvr"));
    const QByteArray goodBackup = "Page Number | Value | Description\n0000 | 0 | Good backup\n";
    const QByteArray olderBackup = "Page Number | Value | Description\n0000 | 0 | Older\n";
    if (existing) {
        writeTestFile(path, goodBackup);
        writeTestFile(path + QLatin1Char('~'), olderBackup);
    }

    const ReadResult result = readBoardInto(path);

    QCOMPARE(m_sim->commandBytes().size(), commandsSent);
    QCOMPARE(ReadResultMessage(result), box.arg(path));
    QCOMPARE(folderEntries(m_dir->path()),
        existing ? (QStringList { "stopped.nvr", "stopped.nvr~" }) : QStringList());
    if (existing) {
        QCOMPARE(fileBytes(path), goodBackup);
        QCOMPARE(fileBytes(path + QLatin1Char('~')), olderBackup);
    }
    QCOMPARE(m_debug->contains(kLengthDebugLine), descriptionFailed);
    QVERIFY(!m_debug->contains(kEndDebugLine));
    QCOMPARE(m_link->isLive(), fault != int(Fault::HangUp));
}

void TestReadTransfer::writtenFileWalksBackToBoardTable_data()
{
    QTest::addColumn<QList<BoardParameter>>("table");

    CtlBoardSim generator;
    generator.generateParameters(40);
    QTest::newRow("generatedBoard") << generator.parameters();

    generator.generateParameters(11);
    QList<BoardParameter> edited = generator.parameters();
    edited[3].value = QStringLiteral(" 42  ");
    edited[4].description = QString::fromLatin1("\xd6lpumpe \xff ");
    edited[5].value = QStringLiteral("x");
    QTest::newRow("latin1AndBlanks") << edited;
}

void TestReadTransfer::writtenFileWalksBackToBoardTable()
{
    QFETCH(QList<BoardParameter>, table);
    setBoard(table);
    const QString path = m_dir->filePath(QStringLiteral("roundtrip.nvr"));

    QCOMPARE(ReadResultMessage(readBoardInto(path)), QString());

    const QList<QByteArray> commands = m_sim->commandBytes();
    QCOMPARE(commands.size(), 2 * table.size());
    QCOMPARE(commands.at(20), QByteArray("$22000A%"));
    QCOMPARE(commands.at(21), QByteArray("$23000A%"));

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    NvrLineReader reader(&file);
    NvrParameter parameter;
    QStringList walked;
    while (reader.next(parameter)) {
        walked << parameter.pageText + QLatin1Char('|') + parameter.value + QLatin1Char('|')
                + parameter.description + (parameter.hasDescription ? "" : " [two fields]");
    }
    QStringList board;
    for (int page = 0; page < table.size(); ++page) {
        board << PageNumberToHex(page, 4) + QLatin1Char('|') + table.at(page).value
                + QLatin1Char('|') + table.at(page).description;
    }
    QCOMPARE(walked, board);
}

void TestReadTransfer::typedNameIsSavedAsTyped_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("fileName");

    const QString name = QStringLiteral("typed");
    // The temporary beside the file takes 8 bytes more than NAME.nvr: NAME_MAX less 12.
    const QString longest = name + QString(243 - name.size(), QLatin1Char('n'));
    QTest::newRow("extensionNotDoubled") << name + ".nvr" << name + ".nvr";
    QTest::newRow("blanksKept") << " " + name + " x "
                                << " " + name + " x .nvr";
    QTest::newRow("longestName") << longest << longest + ".nvr";
}

void TestReadTransfer::typedNameIsSavedAsTyped()
{
    QFETCH(QString, name);
    QFETCH(QString, fileName);
    m_sim->generateParameters(1);
    setBoard(m_sim->parameters());
    QString problem;

    const QString path = NvramSavePath(m_dir->path() + QLatin1Char('/'), name, problem);
    QCOMPARE(problem, QString());
    QCOMPARE(path, m_dir->filePath(fileName));
    QCOMPARE(ReadResultMessage(readBoardInto(path)), QString());

    QCOMPARE(folderEntries(m_dir->path()), QStringList { fileName });
    QCOMPARE(fileBytes(path), expectedNvrFile(m_sim->parameters(), 2));
}

void TestReadTransfer::unwritableFileIsReported_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<int>("existing");
    QTest::addColumn<int>("sizeLimit");
    QTest::addColumn<int>("commandsSent");
    QTest::addColumn<QString>("box");

    QTest::newRow("missingDirectory")
        << "missing/board.nvr" << int(Existing::Nothing) << 0 << 0
        << "Could not create %1: No such file or directory. Nothing was read from the board.";
    // The file size limit makes the third page's line fail to reach the disk.
    QTest::newRow("diskRefusesWrite")
        << "full.nvr" << int(Existing::SmallFile) << 100 << 6
        << "Writing %1 failed: Not all of the data could be written (the disk may be full). "
           "Nothing was saved: %1 is unchanged.";
    // The new file fits, the copy of the larger one it replaces does not: replacing it anyway
    // would lose the only copy.
    QTest::newRow("diskRefusesKeepingPrevious")
        << "keep.nvr" << int(Existing::LargeFile) << 500 << 8
        << "The read was complete, but the previous %1 could not be kept as %1~: File too large. "
           "Nothing was saved: %1 is unchanged.";
    // Names are shown with their control characters escaped.
    QTest::newRow("escapeInName")
        << "missing/b\x1b[2Jd.nvr" << int(Existing::Nothing) << 0 << 0
        << "Could not create %1: No such file or directory. Nothing was read from the board.";
    QTest::newRow("folderUnderName")
        << "folder.nvr" << int(Existing::Folder) << 0 << 0
        << "Could not save to %1: it is a folder, and a read replaces only a file or a link. "
           "Nothing was read from the board.";
    QTest::newRow("fifoUnderName")
        << "fifo.nvr" << int(Existing::Fifo) << 0 << 0
        << "Could not save to %1: it is a pipe (FIFO), and a read replaces only a file or a link. "
           "Nothing was read from the board.";
}

void TestReadTransfer::unwritableFileIsReported()
{
    QFETCH(QString, fileName);
    QFETCH(int, existing);
    QFETCH(int, sizeLimit);
    QFETCH(int, commandsSent);
    QFETCH(QString, box);
    const QString path = m_dir->filePath(fileName);
    QByteArray goodBackup = "Page Number | Value | Description\n";
    if (existing == int(Existing::LargeFile))
        goodBackup += QByteArray(1000, 'x');
    if (existing == int(Existing::Folder))
        QVERIFY(QDir(m_dir->path()).mkdir(fileName));
    else if (existing == int(Existing::Fifo))
        QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
    else if (existing != int(Existing::Nothing))
        writeTestFile(path, goodBackup);
    m_sim->generateParameters(3);
    setBoard(m_sim->parameters());

    rlimit previous {};
    QVERIFY(::getrlimit(RLIMIT_FSIZE, &previous) == 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    if (sizeLimit != 0) {
        rlimit limited = previous;
        limited.rlim_cur = rlim_t(sizeLimit);
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &limited) == 0);
    }
    const ReadResult result = readBoardInto(path);
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &previous) == 0);
    std::signal(SIGXFSZ, previousHandler);

    QCOMPARE(ReadResultMessage(result), box.arg(QString(path).replace('\x1b', "\\x1b")));
    QCOMPARE(m_sim->commandBytes().size(), commandsSent);
    QCOMPARE(folderEntries(m_dir->path()),
        existing != int(Existing::Nothing) ? QStringList { fileName } : QStringList());
    if (existing == int(Existing::SmallFile) || existing == int(Existing::LargeFile))
        QCOMPARE(fileBytes(path), goodBackup);
}

QTEST_GUILESS_MAIN(TestReadTransfer)
#include "tst_readtransfer.moc"
