// Reading the board into an ".nvr" file, end to end against the simulated board on a pty.
#include "boardsim.h"
#include "testsupport.h"

#include "app/constants.h"
#include "nvram/nvrformat.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

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

QString uniqueName(const char *tag)
{
    return QStringLiteral("tst_readtransfer_%1_%2")
        .arg(QCoreApplication::applicationPid())
        .arg(QLatin1String(tag));
}

} // namespace

Q_DECLARE_METATYPE(BoardParameter)

class TestReadTransfer : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void threePageBoardGivesGoldenFile_data();
    void threePageBoardGivesGoldenFile();
    void pageZeroWithoutPositiveNumberEndsAfterPageZero_data();
    void pageZeroWithoutPositiveNumberEndsAfterPageZero();
    void valueIsAnswerFromItsEighthCharacter_data();
    void valueIsAnswerFromItsEighthCharacter();
    void unusableAnswerStopsReadAndIsReported_data();
    void unusableAnswerStopsReadAndIsReported();
    void writtenFileWalksBackToBoardTable_data();
    void writtenFileWalksBackToBoardTable();
    void typedNameIsSavedInNvramDirectory_data();
    void typedNameIsSavedInNvramDirectory();
    void unwritableFileIsReported_data();
    void unwritableFileIsReported();

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
    resetLinkState();
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

    QTest::newRow("newFile") << QByteArray();
    QTest::newRow("longerFileIsEmptied") << QByteArray(4096, 'x');
}

void TestReadTransfer::threePageBoardGivesGoldenFile()
{
    QFETCH(QByteArray, existingContent);
    const QString path = m_dir->filePath(QStringLiteral("three.nvr"));
    if (!existingContent.isEmpty())
        writeFile(path, existingContent);
    setBoard({ { QStringLiteral("2"), QStringLiteral("Last parameter page") },
        { QStringLiteral("57600"), QStringLiteral("Baud rate") },
        { QStringLiteral("-12 "), QString::fromLatin1("Temp\xe9rature") } });

    readBoardInto(path);

    verifyReadEnded();
    const QList<QByteArray> expectedCommands { "$220000%", "$230000%", "$220001%", "$230001%",
        "$220002%", "$230002%" };
    QCOMPARE(m_sim->commandBytes(), expectedCommands);
    QCOMPARE(fileBytes(path), fileBytes(QStringLiteral(TEST_DATA_DIR "/read_three_pages.nvr")));
    QVERIFY(m_debug->contains(kEndDebugLine));
    QVERIFY(!m_debug->contains(kLengthDebugLine));
    QCOMPARE(m_boxes->texts(kMessageTitle), QStringList());
}

void TestReadTransfer::pageZeroWithoutPositiveNumberEndsAfterPageZero_data()
{
    QTest::addColumn<QString>("pageZeroValue");

    QTest::newRow("zero") << "0";
    QTest::newRow("notANumber") << "abc";
    QTest::newRow("negative") << "-5";
    QTest::newRow("beyondInt") << "99999999999";
}

void TestReadTransfer::pageZeroWithoutPositiveNumberEndsAfterPageZero()
{
    QFETCH(QString, pageZeroValue);
    m_sim->generateParameters(4);
    QList<BoardParameter> table = m_sim->parameters();
    table[0].value = pageZeroValue;
    setBoard(table);
    const QString path = m_dir->filePath(QStringLiteral("zero.nvr"));

    readBoardInto(path);

    verifyReadEnded();
    QCOMPARE(m_sim->commandBytes(), (QList<QByteArray> { "$220000%", "$230000%" }));
    QCOMPARE(fileBytes(path), expectedFile(table, 1));
    QVERIFY(m_debug->contains(kEndDebugLine));
    QCOMPARE(m_boxes->texts(kMessageTitle), QStringList());
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

void TestReadTransfer::unusableAnswerStopsReadAndIsReported_data()
{
    QTest::addColumn<QString>("pageZeroValue");
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("pagesSaved");
    QTest::addColumn<bool>("descriptionFailed");
    QTest::addColumn<QString>("box");

    const QString stoppedAtThree
        = QStringLiteral("The read stopped at page 0003: 3 of 6 pages were saved in %1.");
    QTest::newRow("valueAnswerOfCommandLength")
        << "5" << QByteArray("$220003%") << QByteArray("$220003#") << 3 << false << stoppedAtThree;
    QTest::newRow("descriptionAnswerOfCommandLength")
        << "5" << QByteArray("$230003%") << QByteArray("$230003#") << 3 << true << stoppedAtThree;
    QTest::newRow("stalledValueAnswer")
        << "5" << QByteArray("$220003%") << QByteArray("$2200031234") << 3 << false
        << stoppedAtThree;
    QTest::newRow("overlongValueAnswer")
        << "5" << QByteArray("$220003%") << QByteArray("$220003" + QByteArray(193, 'v') + "#") << 3
        << false << stoppedAtThree;
    QTest::newRow("pageZeroValueFails")
        << "5" << QByteArray("$220000%") << QByteArray("$220000#") << 0 << false
        << QStringLiteral("The read stopped at page 0000: no page could be read. %1 holds the "
                          "header line only.");
    QTest::newRow("boardEndsBeforeLargestIntPage")
        << "2147483647" << QByteArray() << QByteArray() << 6 << true
        << QStringLiteral("The read stopped at page 0006: 6 of 2147483648 pages were saved in %1.");
}

void TestReadTransfer::unusableAnswerStopsReadAndIsReported()
{
    QFETCH(QString, pageZeroValue);
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, answer);
    QFETCH(int, pagesSaved);
    QFETCH(bool, descriptionFailed);
    QFETCH(QString, box);
    m_sim->generateParameters(5);
    QList<BoardParameter> table = m_sim->parameters();
    table[0].value = pageZeroValue;
    setBoard(table);
    if (!command.isEmpty())
        m_sim->setAnswerOverride(command, answer);
    const QString path = m_dir->filePath(QStringLiteral("stopped.nvr"));

    readBoardInto(path);

    verifyReadEnded();
    const QList<QByteArray> commands = m_sim->commandBytes();
    QCOMPARE(commands.size(), 2 * (pagesSaved + 1));
    QCOMPARE(commands.last(), DescriptionQuestion(pagesSaved).toLatin1());
    QCOMPARE(fileBytes(path), expectedFile(table, pagesSaved));
    QCOMPARE(m_debug->contains(kLengthDebugLine), descriptionFailed);
    QVERIFY(!m_debug->contains(kEndDebugLine));
    QCOMPARE(m_boxes->texts(kMessageTitle), QStringList { box.arg(path) });
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

void TestReadTransfer::typedNameIsSavedInNvramDirectory_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("fileName");

    const QString unique = uniqueName("typed");
    QTest::newRow("plainName") << unique << unique + ".nvr";
    QTest::newRow("nameWithExtension") << unique + ".nvr" << unique + ".nvr.nvr";
    QTest::newRow("emptyName") << QString() << ".nvr";
}

void TestReadTransfer::typedNameIsSavedInNvramDirectory()
{
    QFETCH(QString, name);
    QFETCH(QString, fileName);
    QVERIFY2(QDir(kNvramDirectory).exists(), "scripts/setup makes the NVRAM directory");
    const QString path = kNvramDirectory + fileName;
    if (QFile::exists(path))
        QSKIP("a file of that name is already there; it is not this test's to replace");
    m_nvramFile = path;
    m_sim->generateParameters(1);
    setBoard(m_sim->parameters());
    MainWindowTestAccess::mainPollingTimer(*m_window).start(60000);

    emit MainWindowTestAccess::uploadDialog(*m_window).saveFileSelected(name);

    verifyReadEnded();
    QCOMPARE(MainWindowTestAccess::ui(*m_window).editFromCTLPCB->text(), name);
    QCOMPARE(fileBytes(path), expectedFile(m_sim->parameters(), 2));
    QCOMPARE(m_boxes->texts(kMessageTitle), QStringList());
}

void TestReadTransfer::unwritableFileIsReported_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("linkTarget");
    QTest::addColumn<QString>("box");

    QTest::newRow("missingDirectory")
        << "missing/board.nvr" << QString()
        << "Could not create %1: No such file or directory. Nothing was read from the board.";
    QTest::newRow("fullDevice")
        << "full.nvr"
        << "/dev/full"
        << "Writing %1 failed: No space left on device. The file is incomplete.";
}

void TestReadTransfer::unwritableFileIsReported()
{
    QFETCH(QString, fileName);
    QFETCH(QString, linkTarget);
    QFETCH(QString, box);
    const QString path = m_dir->filePath(fileName);
    if (!linkTarget.isEmpty()) {
        if (!QFile::exists(linkTarget))
            QSKIP("this system lacks the device");
        QVERIFY(QFile::link(linkTarget, path));
    }
    m_sim->generateParameters(3);
    setBoard(m_sim->parameters());

    readBoardInto(path);

    verifyReadEnded();
    QCOMPARE(m_boxes->texts(kMessageTitle), QStringList { box.arg(path) });
    QVERIFY(m_sim->commandBytes().isEmpty());
}

QTEST_MAIN(TestReadTransfer)
#include "tst_readtransfer.moc"
