// riz-nvr, run as the technician runs it: reports, exit status, and the commands it lists.
#include "boardfixture.h"

#include "nvram/version.h"

#include <QFile>
#include <QProcess>
#include <QtTest>

#include <sys/resource.h>
#include <sys/stat.h>

namespace {

// Far below what reading a device or an oversized file whole takes: such a read ends the run
// instead of filling the machine's memory.
constexpr int kToolMemoryLimitMb = 512;

struct Run {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Run runTool(const QStringList &arguments, const QString &directory)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // The system's words in its error messages are compared.
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
#ifdef __SANITIZE_ADDRESS__
    // The sanitizer reserves far more address space than any limit; it watches the memory itself.
    environment.insert(QStringLiteral("ASAN_OPTIONS"),
        environment.value(QStringLiteral("ASAN_OPTIONS"))
            + QStringLiteral(":hard_rss_limit_mb=%1").arg(kToolMemoryLimitMb));
#else
    process.setChildProcessModifier([] {
        const rlim_t bytes = rlim_t(kToolMemoryLimitMb) << 20;
        const rlimit limit { bytes, bytes };
        ::setrlimit(RLIMIT_AS, &limit);
    });
#endif
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(directory);
    process.start(QStringLiteral(RIZ_NVR_EXE), arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return {};
    return { process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError() };
}

} // namespace

class TestNvrTool : public QObject, protected BoardFixture {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void reportsAndExitStatus_data();
    void reportsAndExitStatus();
    void listedCommandsAreWhatTheWriteSends();
};

void TestNvrTool::init() { QVERIFY2(makeFixture(Folder), qPrintable(m_fixtureError)); }

void TestNvrTool::cleanup() { dropFixture(); }

// Files named "data:x" come from tests/data; "file.nvr=bytes" is written to the temporary
// directory, where the tool runs.
void TestNvrTool::reportsAndExitStatus_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QList<QByteArray>>("files");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");

    const QByteArray header = "Page Number | Value | Description\n";
    const QByteArray data = "data:";
    const QByteArray tryHelp = "riz-nvr: try 'riz-nvr --help'\n";
    const QByteArray readThreePages
        = "read_three_pages.nvr: 3 lines to send, 7 commands, 101 bytes, 0.02 s at 57600 baud\n";

    QTest::newRow("checkEveryFindingOnce")
        << QStringList { "check", "nvr-check-findings.nvr" } << QList<QByteArray> {} << 1
        << data + "nvr-check-findings.txt" << QByteArray();
    QTest::newRow("checkFileWrittenByReadIsClean")
        << QStringList { "check", "read_three_pages.nvr" } << QList<QByteArray> {} << 0
        << readThreePages << QByteArray();
    QTest::newRow("checkCarriageReturnFileSendsNothing")
        << QStringList { "check", "mac.nvr" }
        << QList<QByteArray> { "mac.nvr=" + header.chopped(1)
               + "\r0000 | 1 | Last\r0001 | 2 | x\r" }
        << 1
        << QByteArray("mac.nvr: 0 lines to send, 1 command, 4 bytes, 0.00 s at 57600 baud\n"
                      "mac.nvr:1: \"\\r\" inside a line: the write ends lines at \"\\n\" only and "
                      "sends the \"\\r\" as text\n"
                      "mac.nvr: refused: no line would be sent\n")
        << QByteArray();
    // The read takes plain digits only; a value it would stop at must not reach the board.
    for (const QByteArray value : { "two", " 4", "+4", "4 " }) {
        QTest::addRow("checkRefusesLastPage \"%s\"", value.constData())
            << QStringList { "check", "a.nvr" }
            << QList<QByteArray> { "a.nvr=" + header + "0000 | " + value + " | Last\n" } << 1
            << "a.nvr: 1 line to send, 3 commands, " + QByteArray::number(24 + value.size())
                + " bytes, 0.00 s at 57600 baud\na.nvr:2: refused: page 0000 value \"" + value
                + "\" is not a page number from 0 to 2147483647 in plain digits: every read of the "
                  "board would stop at page 0000\n"
            << QByteArray();
    }
    QTest::newRow("checkRefusesDollarAndShortPage")
        << QStringList { "check", "a.nvr" }
        << QList<QByteArray> { "a.nvr=" + header
               + "0000 | 2 | Last\n0001 | $24 | Cost\n0002 | 24 | Cost $24\n05 | 18000 | Five\n" }
        << 1
        << QByteArray(
               "a.nvr: 4 lines to send, 9 commands, 95 bytes, 0.02 s at 57600 baud\n"
               "a.nvr:3: refused: \"$\" in the value: the board starts a new command there\n"
               "a.nvr:4: refused: \"$\" in the description: the board starts a new command "
               "there\n"
               "a.nvr:5: refused: page \"05\" is not four upper-case hexadecimal digits: the "
               "board may write another page\n")
        << QByteArray();
    QTest::newRow("checkPagesBeyondLastPage")
        << QStringList { "check", "a.nvr" }
        << QList<QByteArray> { "a.nvr=" + header + "0000 | 0 | Last\n0002 | 1 | x\n" } << 1
        << QByteArray(
               "a.nvr: 2 lines to send, 5 commands, 43 bytes, 0.01 s at 57600 baud\n"
               "a.nvr:2: page 0000 gives the last page as 0000 (value 0), but the file goes on to "
               "page 0002\n")
        << QByteArray();
    QTest::newRow("checkUnreadableFileIsTroubleAfterTheOthers")
        << QStringList { "check", "gone.nvr", "read_three_pages.nvr" } << QList<QByteArray> {} << 2
        << readThreePages
        << QByteArray("riz-nvr: cannot read gone.nvr: No such file or directory\n");
    QTest::newRow("checkEmptyValueOrDescription")
        << QStringList { "check", "a.nvr" }
        << QList<QByteArray> { "a.nvr=" + header
               + "0000 | 2 | Last\n0001 |  | Speed\n0002 | 22 | \n" }
        << 1
        << QByteArray(
               "a.nvr: 3 lines to send, 7 commands, 64 bytes, 0.01 s at 57600 baud\n"
               "a.nvr:3: refused: the board will hold an empty field, and a read stops at this "
               "page\n"
               "a.nvr:4: refused: the board will hold an empty field, and a read stops at this "
               "page\n")
        << QByteArray();
    QTest::newRow("checkEscapesControlsInNameAndCommands")
        << QStringList { "check", "--commands", "esc\x1b.nvr" }
        << QList<QByteArray> { "esc\x1b.nvr=" + header + "0000 | 0 | Bell\x07\x1b[2J\n" } << 0
        << QByteArray("esc\\x1b.nvr: 1 line to send, 3 commands, 30 bytes, 0.01 s at 57600 baud\n"
                      "   9 $2000000%\n"
                      "  17 $210000Bell\\x07\\x1b[2J%\n"
                      "   4 $24%\n")
        << QByteArray();
    QTest::newRow("checkReadsRegularFilesAndLinksToThemOnly")
        << QStringList { "check", "zero.nvr", "fifo.nvr", "big.nvr", "link.nvr" }
        << QList<QByteArray> {} << 2 << "link" + readThreePages.mid(16)
        << QByteArray("riz-nvr: cannot read zero.nvr: it is not a regular file\n"
                      "riz-nvr: cannot read fifo.nvr: it is not a regular file\n"
                      "riz-nvr: cannot read big.nvr: it is larger than 64 MB, so it cannot be a "
                      "parameter file\n");
    QTest::newRow("checkVersionAfterDoubleDashIsAFileName")
        << QStringList { "check", "--", "--version" } << QList<QByteArray> {} << 2 << QByteArray()
        << QByteArray("riz-nvr: cannot read --version: No such file or directory\n");

    QTest::newRow("diffText") << QStringList { "diff", "nvr-diff-old.nvr", "nvr-diff-new.nvr" }
                              << QList<QByteArray> {} << 1 << data + "nvr-diff.txt" << QByteArray();
    QTest::newRow("diffJson") << QStringList { "diff", "--json", "nvr-diff-old.nvr",
        "nvr-diff-new.nvr" } << QList<QByteArray> {}
                              << 1 << data + "nvr-diff.json" << QByteArray();
    // Pages out of order and not as the read writes them, two-field lines, a UTF-16 file with
    // halves of surrogate pairs, every kind of escape.
    QTest::newRow("diffTextOfUnorderedAndOddPages")
        << QStringList { "diff", "nvr-diff-tricky-old.nvr", "nvr-diff-tricky-new.nvr" }
        << QList<QByteArray> {} << 1 << data + "nvr-diff-tricky.txt" << QByteArray();
    QTest::newRow("diffJsonOfUnorderedAndOddPages")
        << QStringList { "diff", "--json", "nvr-diff-tricky-old.nvr", "nvr-diff-tricky-new.nvr" }
        << QList<QByteArray> {} << 1 << data + "nvr-diff-tricky.json" << QByteArray();
    QTest::newRow("diffWithItselfGivesCountOnly")
        << QStringList { "diff", "nvr-diff-old.nvr", "nvr-diff-old.nvr" } << QList<QByteArray> {}
        << 0
        << QByteArray("0 added, 0 removed, 0 values changed, 0 descriptions changed; "
                      "5 of 5 pages unchanged\n")
        << QByteArray();
    QTest::newRow("diffRepeatedPageIsTrouble")
        << QStringList { "diff", "twice.nvr", "nvr-diff-old.nvr" }
        << QList<QByteArray> { "twice.nvr=" + header + "0001 | 1 | a\n0001 | 2 | a\n" } << 2
        << QByteArray()
        << QByteArray(
               "riz-nvr: twice.nvr:3: page \"0001\" again (first on line 2): cannot compare\n");
    QTest::newRow("diffMissingFileIsTrouble")
        << QStringList { "diff", "nvr-diff-old.nvr", "gone.nvr" } << QList<QByteArray> {} << 2
        << QByteArray() << QByteArray("riz-nvr: cannot read gone.nvr: No such file or directory\n");
    QTest::newRow("diffAfterDoubleDashEscapesControls")
        << QStringList { "diff", "--", "-old.nvr", "new.nvr" }
        << QList<QByteArray> { "-old.nvr=" + header + "0001 | 7 | Fan\n",
               "new.nvr=" + header + "0001 | 8 | Fan\x1b[5m\n" }
        << 1
        << QByteArray("page 0001 value changed: \"7\" -> \"8\" (Fan\\x1b[5m)\n"
                      "page 0001 description changed: \"Fan\" -> \"Fan\\x1b[5m\"\n"
                      "0 added, 0 removed, 1 value changed, 1 description changed; 0 of 1 page "
                      "unchanged\n")
        << QByteArray();
    QTest::newRow("diffJsonEscapesDeleteAndC1Controls")
        << QStringList { "diff", "--json", "old.nvr", "new.nvr" }
        << QList<QByteArray> { "old.nvr=" + header + "0001 | 7 | Fan\n",
               "new.nvr=" + header + "0001 | 7 | Fan\x1b\xc2\x9b\x7f\n" }
        << 1 << data + "nvr-diff-controls.json" << QByteArray();
    QTest::newRow("diffNameLikeAnOptionIsUnknownOption")
        << QStringList { "diff", "-old.nvr", "new.nvr" }
        << QList<QByteArray> { "-old.nvr=" + header, "new.nvr=" + header } << 2 << QByteArray()
        << "riz-nvr: Unknown option 'old.nvr'.\n" + tryHelp;

    QTest::newRow("noCommand") << QStringList {} << QList<QByteArray> {} << 2 << QByteArray()
                               << "riz-nvr: no command given\n" + tryHelp;
    QTest::newRow("diffNeedsTwoFiles")
        << QStringList { "diff", "nvr-diff-old.nvr" } << QList<QByteArray> {} << 2 << QByteArray()
        << "riz-nvr: diff needs two files, OLD and NEW\n" + tryHelp;
    // As systemd passes an unset PORT: no port is opened by the name "".
    QTest::newRow("backupEmptyPortIsUsageError")
        << QStringList { "backup", "", "." } << QList<QByteArray> {} << 2 << QByteArray()
        << "riz-nvr: PORT is empty: give the board's port (riz-nvr ports lists the ports)\n"
            + tryHelp;
    QTest::newRow("backupHiddenPrefixIsUsageError")
        << QStringList { "backup", "--prefix", ".oven3", "ttyS0", "." } << QList<QByteArray> {} << 2
        << QByteArray()
        << "riz-nvr: the prefix \".oven3\" starts with \".\": the backups would be hidden\n"
            + tryHelp;
    QTest::newRow("backupKeepsAtLeastOne")
        << QStringList { "backup", "--keep", "0", "ttyS0", "." } << QList<QByteArray> {} << 2
        << QByteArray() << "riz-nvr: --keep needs a number of at least 1, not \"0\"\n" + tryHelp;
    QTest::newRow("portsTakesNoArguments")
        << QStringList { "ports", "ttyUSB0" } << QList<QByteArray> {} << 2 << QByteArray()
        << "riz-nvr: ports takes no arguments\n" + tryHelp;
    QTest::newRow("version") << QStringList { "--version" } << QList<QByteArray> {} << 0
                             << "riz-nvr " + kVersion.toUtf8() + '\n'
                             << QByteArray();
}

void TestNvrTool::reportsAndExitStatus()
{
    QFETCH(QStringList, arguments);
    QFETCH(QList<QByteArray>, files);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    for (const char *name : { "nvr-check-findings.nvr", "read_three_pages.nvr", "nvr-diff-old.nvr",
             "nvr-diff-new.nvr", "nvr-diff-tricky-old.nvr", "nvr-diff-tricky-new.nvr" })
        QVERIFY(QFile::copy(QStringLiteral(TEST_DATA_DIR "/") + name, m_dir->filePath(name)));
    QVERIFY(QFile::link(QStringLiteral("/dev/zero"), m_dir->filePath(QStringLiteral("zero.nvr"))));
    QVERIFY(
        ::mkfifo(QFile::encodeName(m_dir->filePath(QStringLiteral("fifo.nvr"))).constData(), 0600)
        == 0);
    QFile big(m_dir->filePath(QStringLiteral("big.nvr")));
    // Sparse: it takes no room, but reading it whole would take 4 GB.
    QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(qint64(4) << 30));
    QVERIFY(QFile::link(m_dir->filePath(QStringLiteral("read_three_pages.nvr")),
        m_dir->filePath(QStringLiteral("link.nvr"))));
    for (const QByteArray &file : files) {
        const qsizetype equals = file.indexOf('=');
        writeFile(QString::fromUtf8(file.left(equals)), file.mid(equals + 1));
    }
    if (out.startsWith("data:"))
        out = fileBytes(QStringLiteral(TEST_DATA_DIR "/") + QString::fromUtf8(out.mid(5)));

    const Run run = runTool(arguments, m_dir->path());

    QCOMPARE(run.out, out);
    QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(run.err, err);
}

// The tool lists, byte for byte, what a forced write puts on the line to the simulated board.
void TestNvrTool::listedCommandsAreWhatTheWriteSends()
{
    const QByteArray tooLong = "0003 | " + QByteArray(83, 'v') + " | too long\n";
    const QString path = writeFile(QStringLiteral("tricky.nvr"),
        "Page Number | Value | Description\n0000 | 4 | Last\n\n0001|7|bare bars\n0002 | 8\n"
            + tooLong
            + "------------------\n"
              "0004 | 21\xC2\xB0 | Temp\xC3\xA9rature \xE2\x82\xAC\xF0\x9F\x94\xA5\n"
              "0005 |  | \n\n");
    CtlBoardSim sim;
    sim.generateParameters(5);
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));

    const Run write = runTool({ QStringLiteral("write"), QStringLiteral("--force"),
                                  QStringLiteral("--quiet"), sim.portPath(), path },
        m_dir->path());
    const Run run
        = runTool({ QStringLiteral("check"), QStringLiteral("--commands"), path }, m_dir->path());

    QCOMPARE(write.exitCode, 1);
    QVERIFY2(write.err.contains("Not sent, too long for one command: page 0003."),
        write.err.constData());
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
    // The greeting and the farewell are the session's, not the file's.
    QList<QByteArray> sent = sim.commandBytes();
    QCOMPARE(sent.takeFirst(), QByteArray("$90%"));
    QCOMPARE(sent.takeLast(), QByteArray("$90%"));
    QCOMPARE(listed, sent);
}

QTEST_GUILESS_MAIN(TestNvrTool)
#include "tst_nvrtool.moc"
