// Writing a parameter file to the board, without a window, as the simulated board on its pty
// receives it.
#include "boardfixture.h"

#include "link/frame.h"
#include "link/seriallink.h"
#include "nvram/nvrformat.h"
#include "nvram/readtransfer.h"
#include "nvram/transfermessages.h"
#include "nvram/writetransfer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>

#include <sys/stat.h>

namespace {

const QByteArray kHeader = QByteArrayLiteral("Page Number | Value | Description\n");

QByteArray repeated(char c, int count) { return QByteArray(count, c); }

} // namespace

class TestWriteTransfer : public QObject, protected BoardFixture {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void sendsEachParameterLine_data();
    void sendsEachParameterLine();
    void leavesOutLinesTooLongForOneCommand_data();
    void leavesOutLinesTooLongForOneCommand();
    void unopenableFileIsReportedAndSendsNothing_data();
    void unopenableFileIsReportedAndSendsNothing();
    void unansweredCommandsAreCountedAfterWholeFile_data();
    void unansweredCommandsAreCountedAfterWholeFile();
    void writeStopsWhenBoardIsGone_data();
    void writeStopsWhenBoardIsGone();
    void roundTripCopiesOneBoardToAnother();

private:
    WriteResult transfer(const QString &path);

    QStringList m_progress;
};

void TestWriteTransfer::init()
{
    QVERIFY2(makeFixture(Link | Debug | Folder), qPrintable(m_fixtureError));
    m_sim->generateParameters(4);
}

void TestWriteTransfer::cleanup() { dropFixture(); }

WriteResult TestWriteTransfer::transfer(const QString &path)
{
    m_progress.clear();
    TransferHooks hooks;
    hooks.progress = [this](const QString &text, int) { m_progress << text; };
    return WriteFileToCtl(*m_link, fileBytes(path), hooks);
}

void TestWriteTransfer::sendsEachParameterLine_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QList<QByteArray>>("expected");

    QTest::newRow("threeFields") << kHeader + "0001 | 7 | Fan speed\n"
                                 << QList<QByteArray> { "$2000017%", "$210001Fan speed%", "$24%" };
    QTest::newRow("bareBars") << kHeader + "0001|7|Fan speed\n"
                              << QList<QByteArray> { "$2000017%", "$210001Fan speed%", "$24%" };
    QTest::newRow("emptyDescription") << kHeader + "0001 | 7 | \n"
                                      << QList<QByteArray> { "$2000017%", "$210001%", "$24%" };
    QTest::newRow("emptyValue") << kHeader + "0001 |  | Fan\n"
                                << QList<QByteArray> { "$200001%", "$210001Fan%", "$24%" };
    QTest::newRow("barCutsDescription") << kHeader + "0001 | 7 | on|off\n"
                                        << QList<QByteArray> { "$2000017%", "$210001on%", "$24%" };
    QTest::newRow("leadingBlankStaysInPage") << kHeader
            + " 0001 | 7 | x\n" << QList<QByteArray> { "$20 00017%", "$21 0001x%", "$24%" };
    QTest::newRow("twoDigitPage") << kHeader + "1A | 7 | x\n"
                                  << QList<QByteArray> { "$201A7%", "$211Ax%", "$24%" };
    QTest::newRow("dashesAndBlanksSendNothing") << kHeader + "------------------\n      \n"
                                                << QList<QByteArray> { "$24%" };
    QTest::newRow("headerOnly") << kHeader << QList<QByteArray> { "$24%" };
    QTest::newRow("emptyFile") << QByteArray() << QList<QByteArray> { "$24%" };
    QTest::newRow("firstDataLineDropped") << QByteArray("0000 | 4 | Last\n0001 | 7 | x\n")
                                          << QList<QByteArray> { "$2000017%", "$210001x%", "$24%" };
    QTest::newRow("lastLineWithoutLineEnd")
        << kHeader + "0001 | 7 | x\n\n0002 | 8 | y"
        << QList<QByteArray> { "$2000017%", "$210001x%", "$2000028%", "$210002y%", "$24%" };
    QTest::newRow("twoFieldLineSendsValueOnly")
        << kHeader + "0001 | 7\n0002 | 8 | y\n"
        << QList<QByteArray> { "$2000017%", "$2000028%", "$210002y%", "$24%" };
    QTest::newRow("latin1TextAsOneBytePerCharacter")
        << kHeader + "0001 | 21\xC2\xB0 | Temp\xC3\xA9rature\n"
        << QList<QByteArray> { "$20000121\xB0%", "$210001Temp\xE9rature%", "$24%" };
}

void TestWriteTransfer::sendsEachParameterLine()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QList<QByteArray>, expected);

    const WriteResult result = transfer(writeFile(QStringLiteral("lines.nvr"), bytes));

    QCOMPARE(m_sim->commandBytes(), expected);
    QCOMPARE(WriteResultMessage(result), QString());
}

void TestWriteTransfer::leavesOutLinesTooLongForOneCommand_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QList<QByteArray>>("expected");
    QTest::addColumn<QString>("box");

    const QByteArray before = kHeader + "0001 | 7 | x\n";
    const QByteArray after = "0003 | 9 | z\n";
    const QList<QByteArray> around { "$2000017%", "$210001x%", "$2000039%", "$210003z%", "$24%" };

    QTest::newRow("valueFillsFrameExactly")
        << before + "0002 | " + repeated('v', 82) + " | y\n" + after
        << QList<QByteArray> { "$2000017%", "$210001x%", "$200002" + repeated('v', 82) + '%',
               "$210002y%", "$2000039%", "$210003z%", "$24%" }
        << QString();
    QTest::newRow("valueOneTooLong") << before + "0002 | " + repeated('v', 83) + " | y\n" + after
                                     << around << "Not sent, too long for one command: page 0002.";
    QTest::newRow("descriptionOneTooLong") << before + "0002 | 8 | " + repeated('d', 83) + "\n"
            + after << around << "Not sent, too long for one command: page 0002.";
    QTest::newRow("everyLongLineNamed") << before + "0002 | " + repeated('v', 90) + " | y\n" + after
            + "0004 | 1 | " + repeated('d', 100)
            + "\n" << around << "Not sent, too long for one command: pages 0002, 0004.";
}

void TestWriteTransfer::leavesOutLinesTooLongForOneCommand()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QList<QByteArray>, expected);
    QFETCH(QString, box);

    const WriteResult result = transfer(writeFile(QStringLiteral("long.nvr"), bytes));

    QCOMPARE(m_sim->commandBytes(), expected);
    QCOMPARE(WriteResultMessage(result), box);
}

// A reason left empty is the system's own words.
void TestWriteTransfer::unopenableFileIsReportedAndSendsNothing_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("reason");

    const QString notRegular = QStringLiteral("it is not a regular file");
    QTest::newRow("vanishedFile") << "gone.nvr" << QString();
    QTest::newRow("directory") << "folder.nvr"
                               << "it is a folder";
    QTest::newRow("linkToDevZero") << "zero.nvr" << notRegular;
    QTest::newRow("fifo") << "fifo.nvr" << notRegular;
    QTest::newRow("oneByteOverTheLimit")
        << "big.nvr"
        << "it is larger than 64 MB, so it cannot be a parameter file";
}

void TestWriteTransfer::unopenableFileIsReportedAndSendsNothing()
{
    QFETCH(QString, name);
    QFETCH(QString, reason);
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("folder.nvr")));
    QVERIFY(QFile::link(QStringLiteral("/dev/zero"), m_dir->filePath(QStringLiteral("zero.nvr"))));
    QVERIFY(
        ::mkfifo(QFile::encodeName(m_dir->filePath(QStringLiteral("fifo.nvr"))).constData(), 0600)
        == 0);
    QFile big(m_dir->filePath(QStringLiteral("big.nvr")));
    QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(kMaxNvrFileBytes + 1));
    const QString path = m_dir->filePath(name);

    const QString text = WriteRefusalMessage(path, ReadNvrFile(path));

    const QString opening = QStringLiteral("Could not open ") + path + QStringLiteral(": ");
    const QString closing = QStringLiteral(". Nothing was sent to the board.");
    if (reason.isEmpty())
        QVERIFY2(text.startsWith(opening) && text.endsWith(closing), qPrintable(text));
    else
        QCOMPARE(text, opening + reason + closing);
    QCOMPARE(m_sim->commandBytes(), QList<QByteArray>());
}

void TestWriteTransfer::unansweredCommandsAreCountedAfterWholeFile_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("silent");
    QTest::addColumn<QList<QByteArray>>("unanswered"); // get answer instead of their own
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QList<QByteArray>>("expected");
    QTest::addColumn<QString>("box");

    const QByteArray twoLines = kHeader + "0001 | 7 | x\n0002 | 8 | y\n";
    const QList<QByteArray> allFive { "$2000017%", "$210001x%", "$2000028%", "$210002y%", "$24%" };
    const QString told = QStringLiteral(
        " \"$24%\" was sent all the same, so the board was told to save: it may now hold old or "
        "wrong values there. Write the file again once the board answers.");

    QTest::newRow("oneCommandUnanswered")
        << twoLines << false << QList<QByteArray> { "$210001x%" } << QByteArray() << allFive
        << "The board gave no complete answer to 1 of 5 commands: for page 0001." + told;
    QTest::newRow("answerStalledBeforeHash")
        << twoLines << false << QList<QByteArray> { "$210001x%" } << QByteArray("$21O") << allFive
        << "The board gave no complete answer to 1 of 5 commands: for page 0001." + told;
    // An answer one character over the limit ends at once: no window is sat out.
    QByteArray fiveLines = kHeader;
    QList<QByteArray> valueWrites;
    QList<QByteArray> fiveLineCommands;
    for (const char page : { '1', '2', '3', '4', '5' }) {
        fiveLines += QByteArray("000") + page + " | 7 | x\n";
        valueWrites << QByteArray("$20000") + page + "7%";
        fiveLineCommands << valueWrites.constLast() << QByteArray("$21000") + page + "x%";
    }
    QTest::newRow("unansweredPagesNamedFirstThree")
        << fiveLines << false << valueWrites << QByteArray(kMaxResponseChars + 1, 'x')
        << fiveLineCommands + QList<QByteArray> { "$24%" }
        << "The board gave no complete answer to 5 of 11 commands: for pages 0001, 0002, 0003 "
           "and 2 more."
            + told;
    QTest::newRow("onlyEndOfTransferUnanswered")
        << twoLines << false << QList<QByteArray> { "$24%" }
        << QByteArray(kMaxResponseChars + 1, 'x') << allFive
        << "The board gave no complete answer to \"$24%\", which tells it to save: it may not "
           "have saved the parameters. Write the file again once the board answers.";
    // The third unanswered command is "$24%" itself: nothing is left to hold back.
    QTest::newRow("silentBoardAndLongLine")
        << kHeader + "0001 | 7 | x\n0002 | " + repeated('v', 83) + " | y\n"
        << true << QList<QByteArray>() << QByteArray()
        << QList<QByteArray> { "$2000017%", "$210001x%", "$24%" }
        << "Not sent, too long for one command: page 0002.\n\n"
           "The board gave no complete answer to 3 of 3 commands: for page 0001, and for "
           "\"$24%\"."
            + told;
}

void TestWriteTransfer::unansweredCommandsAreCountedAfterWholeFile()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, silent);
    QFETCH(QList<QByteArray>, unanswered);
    QFETCH(QByteArray, answer);
    QFETCH(QList<QByteArray>, expected);
    QFETCH(QString, box);
    m_sim->setSilent(silent);
    for (const QByteArray &command : unanswered)
        m_sim->setAnswerOverride(command, answer);

    const WriteResult result = transfer(writeFile(QStringLiteral("unanswered.nvr"), bytes));

    QCOMPARE(m_sim->commandBytes(), expected);
    QCOMPARE(WriteResultMessage(result), box);
}

void TestWriteTransfer::writeStopsWhenBoardIsGone_data()
{
    QTest::addColumn<bool>("lost");
    QTest::addColumn<int>("commandsSent");
    QTest::addColumn<QString>("cause");
    QTest::addColumn<int>("linesNotSent");

    // Pages 1 and 2 are answered; page 3's value write is the first command left unanswered.
    QTest::newRow("boardFallsSilentAtPageThree")
        << false << 7
        << "The write stopped: the CTL PCB gave no complete answer to 3 commands in a row." << 7;
    QTest::newRow("deviceLostAtPageThree")
        << true << 5 << "The link to the CTL PCB was lost at page 0003." << 8;
}

void TestWriteTransfer::writeStopsWhenBoardIsGone()
{
    QFETCH(bool, lost);
    QFETCH(int, commandsSent);
    QFETCH(QString, cause);
    QFETCH(int, linesNotSent);
    QByteArray bytes = kHeader;
    for (int page = 1; page <= 10; ++page)
        bytes += "000" + QByteArray::number(page, 16).toUpper() + " | 7 | x\n";
    if (lost)
        m_sim->setHangUpAfterCommands(5);
    else
        m_sim->setSilentAfterCommands(4);
    QElapsedTimer timer;
    timer.start();

    const WriteResult result = transfer(writeFile(QStringLiteral("ten.nvr"), bytes));

    // Three silent windows when it stops, at least seventeen when it does not.
    QVERIFY2(timer.elapsed() < 8 * kTestTimings.responseWindowMs,
        qPrintable(QString::number(timer.elapsed())));
    const QList<QByteArray> sent = m_sim->commandBytes();
    QCOMPARE(sent.size(), commandsSent);
    QCOMPARE(sent.at(4), QByteArray("$2000037%"));
    QVERIFY(!sent.contains("$24%"));
    QCOMPARE(m_progress.first(), QStringLiteral("Writing page 0001 (0 % of the file)"));
    QCOMPARE(m_progress.at(2), QStringLiteral("Writing page 0003 (20 % of the file)"));
    QCOMPARE(WriteResultMessage(result),
        cause
            + QStringLiteral("\n\nLast page completely written: 0002.\n\n%1 of 10 lines of the "
                             "file were not completely sent.\n\nThe parameters were not saved on "
                             "the board, so it keeps its saved parameters after a restart. Write "
                             "the file again once the board answers.")
                  .arg(linesNotSent));
    QCOMPARE(m_link->port().isOpen(), !lost);
}

void TestWriteTransfer::roundTripCopiesOneBoardToAnother()
{
    QList<BoardParameter> tableA = m_sim->parameters();
    tableA[2].value = QStringLiteral(" 4.12.3 ");
    tableA[3].description = QStringLiteral("Temp\u00e9rature (0.1 \u00b0C)");
    m_sim->setParameters(tableA);
    CtlBoardSim boardB;
    boardB.generateParameters(2);
    QList<BoardParameter> tableB = boardB.parameters();
    tableB[1].value = QStringLiteral("CTL-999999");
    boardB.setParameters(tableB);
    QVERIFY2(boardB.start(), qPrintable(boardB.errorString()));

    const QString fileA = m_dir->filePath(QStringLiteral("boardA.nvr"));
    const QString fileB = m_dir->filePath(QStringLiteral("boardB.nvr"));
    QCOMPARE(ReadResultMessage(ReadTransfer(*m_link, {}).ReadCtlToFile(fileA)), QString());
    m_link->close();
    QVERIFY(openLink(*m_link, boardB.portPath()));
    QCOMPARE(WriteResultMessage(transfer(fileA)), QString());
    QCOMPARE(ReadResultMessage(ReadTransfer(*m_link, {}).ReadCtlToFile(fileB)), QString());

    QFile a(fileA);
    QFile b(fileB);
    QVERIFY(a.open(QIODevice::ReadOnly));
    QVERIFY(b.open(QIODevice::ReadOnly));
    const QByteArray bytesA = a.readAll();
    QCOMPARE(bytesA.count('\n'), 1 + tableA.size());
    QCOMPARE(b.readAll(), bytesA);
    const QList<BoardParameter> copied = boardB.parameters();
    QCOMPARE(copied.size(), tableA.size());
    for (qsizetype page = 0; page < tableA.size(); ++page) {
        QCOMPARE(copied[page].value, tableA[page].value);
        QCOMPARE(copied[page].description, tableA[page].description);
    }
}

QTEST_GUILESS_MAIN(TestWriteTransfer)
#include "tst_writetransfer.moc"
