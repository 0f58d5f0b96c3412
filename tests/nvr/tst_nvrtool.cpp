// riz-nvr, run as the technician runs it: reports, exit status, and the commands it lists.
#include "testsupport.h"

#include "app/constants.h"
#include "boardsim.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Run {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Run runTool(const QStringList &arguments, const QString &directory)
{
    QProcess process;
    process.setWorkingDirectory(directory);
    process.start(QStringLiteral(RIZ_NVR_EXE), arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return {};
    return { process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError() };
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll()
                                          : QByteArray("(cannot read " + path.toUtf8() + ')');
}

} // namespace

class TestNvrTool : public QObject {
    Q_OBJECT

private slots:
    void init();
    void reportsAndExitStatus_data();
    void reportsAndExitStatus();
    void listedCommandsAreWhatTheWriteSends();

private:
    QString writeFile(const QString &name, const QByteArray &bytes);

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestNvrTool::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

QString TestNvrTool::writeFile(const QString &name, const QByteArray &bytes)
{
    const QString path = m_dir->filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

// Files named "data:x" come from tests/data; "file.nvr=bytes" is written to the temporary
// directory, where the tool runs.
void TestNvrTool::reportsAndExitStatus_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QList<QByteArray>>("files");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<bool>("errWritten");

    const QByteArray header = "Page Number | Value | Description\n";
    const QByteArray data = "data:";

    QTest::newRow("checkEveryFindingOnce")
        << QStringList { "check", "nvr-check-findings.nvr" } << QList<QByteArray> {} << 1
        << data + "nvr-check-findings.txt" << false;
    QTest::newRow("checkFileWrittenByReadIsClean")
        << QStringList { "check", "read_three_pages.nvr" } << QList<QByteArray> {} << 0
        << QByteArray("read_three_pages.nvr: 3 lines to send, 7 commands, 101 bytes, 0.02 s at "
                      "57600 baud\n")
        << false;
    QTest::newRow("checkCarriageReturnFileSendsNothing")
        << QStringList { "check", "mac.nvr" }
        << QList<QByteArray> { "mac.nvr=" + header.chopped(1)
               + "\r0000 | 1 | Last\r0001 | 2 | x\r" }
        << 1
        << QByteArray("mac.nvr: 0 lines to send, 1 command, 4 bytes, 0.00 s at 57600 baud\n"
                      "mac.nvr:1: \"\\r\" inside a line: the write ends lines at \"\\n\" only and "
                      "sends the \"\\r\" as text\n"
                      "mac.nvr: no line would be sent\n")
        << false;
    QTest::newRow("checkLastPageNotANumber")
        << QStringList { "check", "a.nvr" }
        << QList<QByteArray> { "a.nvr=" + header + "0000 | two | Last\n" } << 1
        << QByteArray("a.nvr: 1 line to send, 3 commands, 27 bytes, 0.00 s at 57600 baud\n"
                      "a.nvr:2: page 0000 value \"two\" is not the number of the last page\n")
        << false;
    QTest::newRow("checkPagesBeyondLastPage")
        << QStringList { "check", "a.nvr" }
        << QList<QByteArray> { "a.nvr=" + header + "0000 | 0 | Last\n0002 | 1 | x\n" } << 1
        << QByteArray(
               "a.nvr: 2 lines to send, 5 commands, 43 bytes, 0.01 s at 57600 baud\n"
               "a.nvr:2: page 0000 gives the last page as 0000 (value 0), but the file goes on to "
               "page 0002\n")
        << false;
    QTest::newRow("checkUnreadableFileIsTroubleAfterTheOthers")
        << QStringList { "check", "gone.nvr", "read_three_pages.nvr" } << QList<QByteArray> {} << 2
        << QByteArray("read_three_pages.nvr: 3 lines to send, 7 commands, 101 bytes, 0.02 s at "
                      "57600 baud\n")
        << true;

    QTest::newRow("diffText") << QStringList { "diff", "nvr-diff-old.nvr", "nvr-diff-new.nvr" }
                              << QList<QByteArray> {} << 1 << data + "nvr-diff.txt" << false;
    QTest::newRow("diffJson") << QStringList { "diff", "--json", "nvr-diff-old.nvr",
        "nvr-diff-new.nvr" } << QList<QByteArray> {}
                              << 1 << data + "nvr-diff.json" << false;
    QTest::newRow("diffWithItselfGivesCountOnly")
        << QStringList { "diff", "nvr-diff-old.nvr", "nvr-diff-old.nvr" } << QList<QByteArray> {}
        << 0
        << QByteArray("0 added, 0 removed, 0 values changed, 0 descriptions changed; "
                      "5 of 5 pages unchanged\n")
        << false;
    QTest::newRow("diffRepeatedPageIsTrouble")
        << QStringList { "diff", "twice.nvr", "nvr-diff-old.nvr" }
        << QList<QByteArray> { "twice.nvr=" + header + "0001 | 1 | a\n0001 | 2 | a\n" } << 2
        << QByteArray() << true;
    QTest::newRow("diffMissingFileIsTrouble")
        << QStringList { "diff", "nvr-diff-old.nvr", "gone.nvr" } << QList<QByteArray> {} << 2
        << QByteArray() << true;

    QTest::newRow("noCommand") << QStringList {} << QList<QByteArray> {} << 2 << QByteArray()
                               << true;
    QTest::newRow("diffNeedsTwoFiles") << QStringList { "diff", "nvr-diff-old.nvr" }
                                       << QList<QByteArray> {} << 2 << QByteArray() << true;
    QTest::newRow("version") << QStringList { "--version" } << QList<QByteArray> {} << 0
                             << "riz-nvr " + kVersion.toUtf8() + '\n'
                             << false;
}

void TestNvrTool::reportsAndExitStatus()
{
    QFETCH(QStringList, arguments);
    QFETCH(QList<QByteArray>, files);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, out);
    QFETCH(bool, errWritten);
    for (const char *name : { "nvr-check-findings.nvr", "read_three_pages.nvr", "nvr-diff-old.nvr",
             "nvr-diff-new.nvr" })
        QVERIFY(QFile::copy(QStringLiteral(TEST_DATA_DIR "/") + name, m_dir->filePath(name)));
    for (const QByteArray &file : files) {
        const qsizetype equals = file.indexOf('=');
        writeFile(QString::fromUtf8(file.left(equals)), file.mid(equals + 1));
    }
    if (out.startsWith("data:"))
        out = fileBytes(QStringLiteral(TEST_DATA_DIR "/") + QString::fromUtf8(out.mid(5)));

    const Run run = runTool(arguments, m_dir->path());

    QCOMPARE(run.out, out);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.err.isEmpty() != errWritten, run.err.constData());
}

// The tool lists, byte for byte, what the write puts on the line to the simulated board.
void TestNvrTool::listedCommandsAreWhatTheWriteSends()
{
    const QByteArray tooLong = "0003 | " + QByteArray(83, 'v') + " | too long\n";
    const QString path = writeFile(QStringLiteral("tricky.nvr"),
        "Page Number | Value | Description\n0000 | 4 | Last\n\n0001|7|bare bars\n0002 | 8\n"
            + tooLong
            + "------------------\n"
              "0004 | 21\xC2\xB0 | Temp\xC3\xA9rature \xE2\x82\xAC\xF0\x9F\x94\xA5\n"
              "0005 |  | \n\n");
    resetLinkState();
    CtlBoardSim sim;
    sim.generateParameters(5);
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    MainWindow window;
    QVERIFY(openWindowPort(window, sim.portPath()));
    ModalBoxCatcher boxes;
    MainWindowTestAccess::writeFileToCtl(window, path);
    QCOMPARE(boxes.texts(kMessageTitle),
        QStringList { QStringLiteral("Not sent, too long for one command: page 0003.") });

    const Run run
        = runTool({ QStringLiteral("check"), QStringLiteral("--commands"), path }, m_dir->path());

    QCOMPARE(run.exitCode, 1);
    QList<QByteArray> listed;
    for (const QByteArray &line : run.out.split('\n')) {
        if (line.startsWith(path.toUtf8()) || line.isEmpty())
            continue;
        const QByteArray number = line.trimmed().split(' ').first();
        const QByteArray command = line.mid(line.indexOf(number) + number.size() + 1);
        QCOMPARE(number.toInt(), command.size());
        listed << command;
    }
    QCOMPARE(listed, sim.commandBytes());
}

QTEST_MAIN(TestNvrTool)
#include "tst_nvrtool.moc"
