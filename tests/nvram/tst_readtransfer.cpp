// Reading the board into an ".nvr" file, end to end against the simulated board on a pty.
#include "boardsim.h"
#include "testsupport.h"

#include "nvram/nvrformat.h"
#include "ui/styles.h"

#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QFile>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

const QString kLengthDebugLine
    = QStringLiteral("DataValid = false - RCV_Str.length() is longer than sentStringLength");
const QString kEndDebugLine = QStringLiteral("DataValid = false - PGNum > CtlParamEndPage");

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArrayLiteral("<cannot open>");
    return file.readAll();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

// The header and the first pageCount pages of table, as the read must write them.
QByteArray expectedFile(const QList<BoardParameter> &table, int pageCount)
{
    QString text = QStringLiteral("Page Number | Value | Description\n");
    for (int page = 0; page < pageCount; ++page) {
        text += PageNumberToHex(page, 4) + QStringLiteral(" | ") + table.at(page).value
            + QStringLiteral(" | ") + table.at(page).description + QLatin1Char('\n');
    }
    return text.toUtf8();
}

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

QString uniqueName(const char *tag)
{
    return QStringLiteral("tst_readtransfer_%1_%2")
        .arg(QCoreApplication::applicationPid())
        .arg(QLatin1String(tag));
}

} // namespace

Q_DECLARE_METATYPE(BoardParameter)

enum class Fault { None, Silent, HangUp };
enum class Planted { Nothing, NameLinksToPrivateFile, NameLinksNowhere, TildeLinksToPrivateFile };
enum class Existing { Nothing, SmallFile, LargeFile, Folder };

class TestReadTransfer : public QObject {
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
    void typedNameIsCheckedBeforeRead_data();
    void typedNameIsCheckedBeforeRead();
    void unwritableFileIsReported_data();
    void unwritableFileIsReported();
    void transferNeedsLiveLink_data();
    void transferNeedsLiveLink();
    void windowStaysAliveAndDeafDuringSlowRead();

private:
    void setBoard(const QList<BoardParameter> &table);
    void readBoardInto(const QString &path);
    void verifyReadEnded();

    std::unique_ptr<CtlBoardSim> m_sim;
    std::unique_ptr<MainWindow> m_window;
    std::unique_ptr<ModalBoxCatcher> m_boxes;
    std::unique_ptr<DebugCapture> m_debug;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_nvramFile;
};

void TestReadTransfer::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_sim = std::make_unique<CtlBoardSim>();
    QVERIFY2(m_sim->start(), qPrintable(m_sim->errorString()));
    m_window = std::make_unique<MainWindow>();
    QVERIFY(openWindowPort(*m_window, m_sim->portPath()));
    m_boxes = std::make_unique<ModalBoxCatcher>();
    m_debug = std::make_unique<DebugCapture>();
}

void TestReadTransfer::cleanup()
{
    m_debug.reset();
    m_boxes.reset();
    m_window.reset();
    m_sim.reset();
    m_dir.reset();
    if (!m_nvramFile.isEmpty())
        QFile::remove(m_nvramFile);
    m_nvramFile.clear();
}

void TestReadTransfer::setBoard(const QList<BoardParameter> &table)
{
    m_sim->setParameters(table);
    m_sim->clearCommands();
}

// The window as a connected session leaves it: polling at another pace, the field not yet yellow.
void TestReadTransfer::readBoardInto(const QString &path)
{
    MainWindowTestAccess::mainPollingTimer(*m_window).start(60000);
    MainWindowTestAccess::ui(*m_window).editFromCTLPCB->setStyleSheet(QString());
    MainWindowTestAccess::readCtlToFile(*m_window, path);
}

void TestReadTransfer::verifyReadEnded()
{
    const QTimer &polling = MainWindowTestAccess::mainPollingTimer(*m_window);
    QVERIFY(polling.isActive());
    QCOMPARE(polling.interval(), 750);
    QCOMPARE(MainWindowTestAccess::ui(*m_window).editFromCTLPCB->styleSheet(), kStyleEditYellow);
}

void TestReadTransfer::threePageBoardGivesGoldenFile_data()
{
    QTest::addColumn<QByteArray>("existingContent");
    QTest::addColumn<int>("planted");

    QTest::newRow("newFile") << QByteArray() << int(Planted::Nothing);
    QTest::newRow("longerFileIsReplacedAndKept") << QByteArray(4096, 'x') << int(Planted::Nothing);
    QTest::newRow("linkToPrivateFile") << QByteArray() << int(Planted::NameLinksToPrivateFile);
    QTest::newRow("danglingLink") << QByteArray() << int(Planted::NameLinksNowhere);
    QTest::newRow("previousKeptDespiteLinkUnderTilde")
        << QByteArray("old backup\n") << int(Planted::TildeLinksToPrivateFile);
}

// A colleague in the group can plant links in the shared folder: the read replaces a link
// under the name, or under NAME~, itself and never writes or creates what it points to.
void TestReadTransfer::threePageBoardGivesGoldenFile()
{
    QFETCH(QByteArray, existingContent);
    QFETCH(int, planted);
    const QString path = m_dir->filePath(QStringLiteral("three.nvr"));
    const QString tilde = path + QLatin1Char('~');
    QTemporaryDir elsewhere;
    const QString privateFile = elsewhere.filePath(QStringLiteral("private"));
    const QByteArray privateBytes = "not for the group\n";
    writeFile(privateFile, privateBytes);
    QVERIFY(QFile::setPermissions(privateFile, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    const QString nowhere = elsewhere.filePath(QStringLiteral("nowhere.nvr"));
    if (!existingContent.isEmpty())
        writeFile(path, existingContent);
    else if (planted == int(Planted::NameLinksToPrivateFile))
        QVERIFY(QFile::link(privateFile, path));
    else if (planted == int(Planted::NameLinksNowhere))
        QVERIFY(QFile::link(nowhere, path));
    if (planted == int(Planted::TildeLinksToPrivateFile))
        QVERIFY(QFile::link(privateFile, tilde));
    else if (!existingContent.isEmpty())
        writeFile(tilde, "the backup before\n");
    const ino_t oldInode = inode(path);
    setBoard({ { QStringLiteral("2"), QStringLiteral("Last parameter page") },
        { QStringLiteral("57600"), QStringLiteral("Baud rate") },
        { QStringLiteral("-12 "), QString::fromLatin1("Temp\xe9rature") } });

    const mode_t previousMask = ::umask(027);
    readBoardInto(path);
    ::umask(previousMask);

    verifyReadEnded();
    const QList<QByteArray> expectedCommands { "$220000%", "$230000%", "$220001%", "$230001%",
        "$220002%", "$230002%" };
    QCOMPARE(m_sim->commandBytes(), expectedCommands);
    QCOMPARE(fileBytes(path), fileBytes(QStringLiteral(TEST_DATA_DIR "/read_three_pages.nvr")));
    // Replaced in one step by a rename, never rewritten in place; readable by the group.
    if (oldInode != 0)
        QVERIFY(inode(path) != oldInode);
    QCOMPARE(regularFileMode(path), 0640);
    QCOMPARE(fileBytes(privateFile), privateBytes);
    QVERIFY(!QFileInfo::exists(nowhere));
    // One generation is kept, and only a regular file's.
    if (existingContent.isEmpty()) {
        QCOMPARE(folderEntries(m_dir->path()), QStringList { "three.nvr" });
    } else {
        QCOMPARE(folderEntries(m_dir->path()), (QStringList { "three.nvr", "three.nvr~" }));
        QCOMPARE(fileBytes(tilde), existingContent);
        QCOMPARE(regularFileMode(tilde), 0640);
    }
    QVERIFY(m_debug->contains(kEndDebugLine));
    QVERIFY(!m_debug->contains(kLengthDebugLine));
    QCOMPARE(m_boxes->texts(kMessageTitle), QStringList());
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
    // Quoted in the box as it came, never taken for markup.
    QTest::newRow("markup") << "<b>4</b>" << false;
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

    readBoardInto(path);

    verifyReadEnded();
    QCOMPARE(m_sim->commandBytes(), (QList<QByteArray> { "$220000%", "$230000%" }));
    QCOMPARE(m_debug->contains(kEndDebugLine), accepted);
    if (accepted) {
        QCOMPARE(fileBytes(path), expectedFile(table, 1));
        QCOMPARE(m_boxes->texts(kMessageTitle), QStringList());
    } else {
        QCOMPARE(folderEntries(m_dir->path()), QStringList());
        QCOMPARE(m_boxes->texts(kMessageTitle),
            QStringList { QStringLiteral("The read stopped: page 0000 gives the number of the last "
                                         "page, but the CTL PCB sent \"%1\", which is not a page "
                                         "number from 0 to 2147483647. Nothing was saved: %2 was "
                                         "not created.")
                              .arg(pageZeroValue, path) });
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

    readBoardInto(path);

    verifyReadEnded();
    table[1].value = value;
    QCOMPARE(fileBytes(path), expectedFile(table, 3));
    QCOMPARE(m_boxes->texts(kMessageTitle), QStringList());
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
        writeFile(path, goodBackup);
        writeFile(path + QLatin1Char('~'), olderBackup);
    }

    readBoardInto(path);

    const QList<QByteArray> commands = m_sim->commandBytes();
    QCOMPARE(commands.size(), commandsSent);
    QCOMPARE(m_boxes->texts(kMessageTitle), QStringList { box.arg(path) });
    QCOMPARE(folderEntries(m_dir->path()),
        existing ? (QStringList { "stopped.nvr", "stopped.nvr~" }) : QStringList());
    if (existing) {
        QCOMPARE(fileBytes(path), goodBackup);
        QCOMPARE(fileBytes(path + QLatin1Char('~')), olderBackup);
    }
    QCOMPARE(m_debug->contains(kLengthDebugLine), descriptionFailed);
    QVERIFY(!m_debug->contains(kEndDebugLine));
    QCOMPARE(MainWindowTestAccess::ui(*m_window).editFromCTLPCB->styleSheet(), kStyleEditYellow);
    // A lost device is reported by the read's one box; the link is closed with it.
    if (fault == int(Fault::HangUp)) {
        QVERIFY(!MainWindowTestAccess::serialPort(*m_window).isOpen());
        QVERIFY(!MainWindowTestAccess::mainPollingTimer(*m_window).isActive());
    } else {
        verifyReadEnded();
    }
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

    readBoardInto(path);

    verifyReadEnded();
    QCOMPARE(m_boxes->texts(kMessageTitle), QStringList());
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

void TestReadTransfer::typedNameIsCheckedBeforeRead_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("box");

    const QString unique = uniqueName("typed");
    const QString blank = QStringLiteral(
        "Type a name for the file: an empty name, or one of blanks only, cannot be saved.");
    const QString tooLong = QStringLiteral(
        "The file name is too long: it may take at most 243 bytes. Most characters take one "
        "byte, letters such as \"\u00e9\" two or more. Type a shorter name.");
    // The temporary beside the file takes 8 bytes more than NAME.nvr: NAME_MAX less 12.
    const QString longest = unique + QString(243 - unique.size(), QLatin1Char('n'));
    QTest::newRow("plainName") << unique << unique + ".nvr" << QString();
    QTest::newRow("extensionNotDoubled") << unique + ".nvr" << unique + ".nvr" << QString();
    QTest::newRow("blanksKept") << " " + unique + " x "
                                << " " + unique + " x .nvr" << QString();
    QTest::newRow("longestName") << longest << longest + ".nvr" << QString();
    QTest::newRow("emptyName") << QString() << QString() << blank;
    QTest::newRow("blanksOnly") << "   " << QString() << blank;
    QTest::newRow("blanksAndExtension") << "   .nvr" << QString() << blank;
    QTest::newRow("leavesFolder") << "../../../tmp/" + unique << QString()
                                  << "The file name \"../../../tmp/" + unique
            + "\" contains \"/\". Files are always saved in /opt/VKT_PLUS/NVRAM/CTLPCB/; type "
              "a name without \"/\".";
    QTest::newRow("hiddenName")
        << ".nvr" << QString()
        << "The file name \".nvr\" starts with \".\": the file would be hidden, and \"To CTL "
           "PCB\" would not list it. Type a name that starts with another character.";
    QTest::newRow("oneByteTooLong") << longest + "n" << QString() << tooLong;
    QTest::newRow("accentsCountTwice") << QString(122, QChar(0xe9)) << QString() << tooLong;
}

// A name that cannot be saved is refused before anything goes to the board.
void TestReadTransfer::typedNameIsCheckedBeforeRead()
{
    QFETCH(QString, name);
    QFETCH(QString, fileName);
    QFETCH(QString, box);
    QVERIFY2(QDir(kNvramDirectory).exists(), "scripts/setup makes the NVRAM directory");
    const QString path = kNvramDirectory + fileName;
    if (!fileName.isEmpty() && QFile::exists(path))
        QSKIP("a file of that name is already there; it is not this test's to replace");
    if (!fileName.isEmpty())
        m_nvramFile = path;
    m_sim->generateParameters(1);
    setBoard(m_sim->parameters());
    MainWindowTestAccess::mainPollingTimer(*m_window).start(60000);

    emit MainWindowTestAccess::uploadDialog(*m_window).saveFileSelected(name);

    const MainWindowUi &ui = MainWindowTestAccess::ui(*m_window);
    QCOMPARE(ui.editFromCTLPCB->text(), name);
    QCOMPARE(ui.editFromCTLPCB->styleSheet(), kStyleEditYellow);
    if (box.isEmpty()) {
        verifyReadEnded();
        QCOMPARE(fileBytes(path), expectedFile(m_sim->parameters(), 2));
        QCOMPARE(m_boxes->texts(kMessageTitle), QStringList());
    } else {
        QVERIFY(!m_sim->waitForCommandCount(1, 100));
        QCOMPARE(m_boxes->texts(kMessageTitle), QStringList { box });
    }
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
    QTest::newRow("folderUnderName") << "folder.nvr" << int(Existing::Folder) << 0 << 8
                                     << "Writing %1 failed: Is a directory. Nothing was saved: %1 "
                                        "is unchanged.";
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
    else if (existing != int(Existing::Nothing))
        writeFile(path, goodBackup);
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
    readBoardInto(path);
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &previous) == 0);
    std::signal(SIGXFSZ, previousHandler);

    verifyReadEnded();
    QCOMPARE(m_boxes->texts(kMessageTitle), QStringList { box.arg(path) });
    QCOMPARE(m_sim->commandBytes().size(), commandsSent);
    QCOMPARE(folderEntries(m_dir->path()),
        existing != int(Existing::Nothing) ? QStringList { fileName } : QStringList());
    if (existing == int(Existing::SmallFile) || existing == int(Existing::LargeFile))
        QCOMPARE(fileBytes(path), goodBackup);
}

void TestReadTransfer::transferNeedsLiveLink_data()
{
    QTest::addColumn<bool>("write");
    QTest::addColumn<bool>("portClosed");

    QTest::newRow("readAfterPortClosed") << false << true;
    QTest::newRow("readAfterDeviceLost") << false << false;
    QTest::newRow("writeAfterPortClosed") << true << true;
    QTest::newRow("writeAfterDeviceLost") << true << false;
}

// The link goes while a file-name dialog is open; confirming it afterwards must not touch the
// file or the line.
void TestReadTransfer::transferNeedsLiveLink()
{
    QFETCH(bool, write);
    QFETCH(bool, portClosed);
    const QString name = uniqueName("deadlink");
    m_nvramFile = kNvramDirectory + name + ".nvr";
    const QByteArray goodBackup = "Page Number | Value | Description\n0000 | 0 | Good backup\n";
    writeFile(m_nvramFile, goodBackup);
    m_sim->generateParameters(3);
    setBoard(m_sim->parameters());
    MainWindowUi &ui = MainWindowTestAccess::ui(*m_window);
    QLineEdit *field = write ? ui.editToCTLPCB : ui.editFromCTLPCB;
    field->setStyleSheet(QString());
    ui.btnFromCTL_PCB->setEnabled(true);
    ui.btnFromCTL_PCB->click();
    dlgUploadNVRAM &dialog = MainWindowTestAccess::uploadDialog(*m_window);
    QVERIFY(dialog.isVisible());
    dialog.findChild<QLineEdit *>(QStringLiteral("lineEditFileName"))->setText(name);

    if (portClosed)
        MainWindowTestAccess::serialPort(*m_window).close();
    else
        LinkTestAccess::latch(MainWindowTestAccess::link(*m_window));
    if (write)
        emit m_window->readFileSelected(m_nvramFile);
    else
        QTest::mouseClick(dialog.findChild<QPushButton *>(QStringLiteral("btnOK")), Qt::LeftButton);

    QCOMPARE(m_boxes->texts(kMessageTitle),
        QStringList { "The CTL PCB is not connected. Press COMMS to connect it, then try again." });
    QCOMPARE(fileBytes(m_nvramFile), goodBackup);
    QVERIFY(!m_sim->waitForCommandCount(1, 100));
    QCOMPARE(field->styleSheet(), kStyleEditYellow);
}

// 30 pages at 20 ms a question: the window is painted, shows how far the read has got and
// drops what is clicked meanwhile.
void TestReadTransfer::windowStaysAliveAndDeafDuringSlowRead()
{
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    m_sim->generateParameters(29);
    setBoard(m_sim->parameters());
    m_sim->setLatencyMs(20);
    MainWindowUi &ui = MainWindowTestAccess::ui(*m_window);
    ui.btnToCTL_PCB->setEnabled(true);
    QSignalSpy messages(ui.statusbar, &QStatusBar::messageChanged);
    QSignalSpy fileChosen(m_window.get(), &MainWindow::readFileSelected);
    int otherModals = 0;
    m_boxes->setOtherModalHandler([&otherModals](QWidget *modal) {
        ++otherModals;
        modal->close();
    });

    struct PaintWatch : QObject {
        CtlBoardSim *sim;
        QWidget *window;
        QList<qsizetype> commandsAtPaint;
        bool waitCursorAtPaint = false;
        bool eventFilter(QObject *watched, QEvent *event) override
        {
            auto *widget = qobject_cast<QWidget *>(watched);
            if (event->type() == QEvent::Paint && widget && widget->window() == window) {
                commandsAtPaint << sim->commands().size();
                waitCursorAtPaint = waitCursorAtPaint
                    || (QApplication::overrideCursor()
                        && QApplication::overrideCursor()->shape() == Qt::WaitCursor);
            }
            return false;
        }
    } paints;
    paints.sim = m_sim.get();
    paints.window = m_window.get();
    qApp->installEventFilter(&paints);
    QPushButton *toBoard = ui.btnToCTL_PCB;
    QTimer::singleShot(150, toBoard, [toBoard] {
        const QPointF at(5, 5);
        for (const QEvent::Type type : { QEvent::MouseButtonPress, QEvent::MouseButtonRelease }) {
            QCoreApplication::postEvent(toBoard,
                new QMouseEvent(type, at, toBoard->mapToGlobal(at), Qt::LeftButton,
                    type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                    Qt::NoModifier));
        }
    });

    readBoardInto(m_dir->filePath(QStringLiteral("slow.nvr")));
    QTest::qWait(300);
    qApp->removeEventFilter(&paints);

    verifyReadEnded();
    QCOMPARE(m_sim->commands().size(), 60);
    QVERIFY2(messages.size() >= 10, qPrintable(QString::number(messages.size())));
    // Which pages get shown depends on when the window repaints; each must carry its share.
    QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("Reading page 0000"));
    for (qsizetype i = 1; i + 1 < messages.size(); ++i) {
        const QString shown = messages.at(i).at(0).toString();
        const int shownPage = shown.mid(13, 4).toInt(nullptr, 16);
        QCOMPARE(shown,
            QStringLiteral("Reading page %1 of 001D (%2 %)")
                .arg(PageNumberToHex(shownPage, 4))
                .arg(qRound(shownPage * 100.0 / 29)));
    }
    QCOMPARE(ui.statusbar->currentMessage(), QString());
    QVERIFY(std::any_of(paints.commandsAtPaint.cbegin(), paints.commandsAtPaint.cend(),
        [](qsizetype sent) { return sent > 0 && sent < 60; }));
    QVERIFY(paints.waitCursorAtPaint);
    QCOMPARE(QApplication::overrideCursor(), nullptr);
    QCOMPARE(fileChosen.size(), 0);
    QCOMPARE(otherModals, 0);
    QCOMPARE(m_boxes->texts(kMessageTitle), QStringList());
}

QTEST_MAIN(TestReadTransfer)
#include "tst_readtransfer.moc"
