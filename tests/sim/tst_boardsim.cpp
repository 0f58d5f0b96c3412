// The simulated board as the program meets it: through a real QSerialPort on its pty.
#include "boardfixture.h"

#include "boardoptions.h"
#include "link/serialdevice.h"

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

class TestBoardSim : public QObject, protected BoardFixture {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void answersCommands_data();
    void answersCommands();
    void writesUpdateTableAndEndOfWriteSaves();
    void logsFramesInOrderWithCutOffFrames();
    void shapesAnswers_data();
    void shapesAnswers();
    void leavesCommandsUnanswered_data();
    void leavesCommandsUnanswered();
    void hangUpIsALostDevice();
    void servesASerialDevice();
    void faultOptionsSetTheBoard_data();
    void faultOptionsSetTheBoard();

private:
    void send(const QByteArray &command);
    QByteArray read(int ms, bool untilHash);
    QByteArray readUntilHash() { return read(2000, true); }
    QByteArray readExpecting(qsizetype size);

    QSerialPort m_port;
    QElapsedTimer m_clock;
    qint64 m_lastArrival = 0; // m_clock time of the last bytes read
};

void TestBoardSim::init()
{
    m_clock.start();
    QVERIFY2(makeFixture(Board), qPrintable(m_fixtureError));
    m_sim->generateParameters(60);
    m_port.setPortName(m_sim->portPath());
    QVERIFY2(m_port.open(QIODevice::ReadWrite), qPrintable(m_port.errorString()));
    QVERIFY(m_port.setBaudRate(QSerialPort::Baud57600) && m_port.setDataBits(QSerialPort::Data8)
        && m_port.setParity(QSerialPort::NoParity) && m_port.setStopBits(QSerialPort::OneStop));
}

void TestBoardSim::cleanup()
{
    m_port.close();
    dropFixture();
}

void TestBoardSim::send(const QByteArray &command)
{
    m_port.write(command);
    QVERIFY(m_port.waitForBytesWritten(1000));
}

QByteArray TestBoardSim::read(int ms, bool untilHash)
{
    QByteArray received;
    QElapsedTimer timer;
    timer.start();
    while (!(untilHash && received.contains('#')) && timer.elapsed() < ms) {
        // waitForBytesWritten() may already have buffered bytes that waitForReadyRead() ignores.
        if (m_port.bytesAvailable() > 0 || m_port.waitForReadyRead(20)) {
            received += m_port.readAll();
            m_lastArrival = m_clock.elapsed();
        }
    }
    return received;
}

// Reads until size bytes have come, then a while longer to catch any bytes too many.
QByteArray TestBoardSim::readExpecting(qsizetype size)
{
    QByteArray received;
    QElapsedTimer timer;
    timer.start();
    while (received.size() < size && timer.elapsed() < 5000)
        received += read(20, false);
    return received + read(200, false);
}

void TestBoardSim::answersCommands_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("answer");

    QTest::newRow("greeting") << QByteArray("$90%") << QByteArray("$90OK#");
    QTest::newRow("statusPoll") << QByteArray("$91%") << QByteArray("$91OK#");
    QTest::newRow("page0AnnouncesLastPage") << QByteArray("$220000%") << QByteArray("$22000060#");
    QTest::newRow("valueWithUnitPage") << QByteArray("$220005%") << QByteArray("$22000518000#");
    QTest::newRow("descriptionPage9")
        << QByteArray("$230009%") << QByteArray("$230009Heater 2 setpoint (0.1 C)#");
    QTest::newRow("pageInSecondBank") << QByteArray("$22003C%") << QByteArray("$22003C801#");
    QTest::newRow("lowerCaseHexPage") << QByteArray("$22001a%") << QByteArray("$22001A240#");
    QTest::newRow("pageBeyondTable") << QByteArray("$220100%") << QByteArray("$220100#");
    QTest::newRow("pageAfterFFFFEchoesFourDigits")
        << QByteArray("$2210000%") << QByteArray("$220000#");
    QTest::newRow("nonHexPage") << QByteArray("$22XYZ1%") << QByteArray("$22ER#");
    QTest::newRow("unknownCode") << QByteArray("$55%") << QByteArray("$55ER#");
    QTest::newRow("bytesOutsideAFrameIgnored") << QByteArray("xx\r\n$91%") << QByteArray("$91OK#");
}

void TestBoardSim::answersCommands()
{
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, answer);
    send(command);
    QCOMPARE(readUntilHash(), answer);
}

void TestBoardSim::writesUpdateTableAndEndOfWriteSaves()
{
    QTemporaryDir dir;
    const QString saved = dir.filePath(QStringLiteral("end.nvr"));
    m_sim->setSaveOnEndOfWrite(saved);

    for (const QByteArray &command :
        { QByteArray("$200003 7.5 %"), QByteArray("$210003Scaled\xB5 value%"),
            QByteArray("$21003FAdded page%"), QByteArray("$24%") }) {
        send(command);
        QCOMPARE(readUntilHash(), command.left(3) + "OK#");
    }

    const QList<BoardParameter> table = m_sim->parameters();
    QCOMPARE(table.size(), 64);
    QCOMPARE(table[3].value, QStringLiteral(" 7.5 "));
    QCOMPARE(table[3].description, QStringLiteral("Scaled\u00B5 value"));
    QCOMPARE(table[63].value, QString());
    QCOMPARE(table[63].description, QStringLiteral("Added page"));

    QFile file(saved);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    QVERIFY(
        text.startsWith("Page Number | Value | Description\n0000 | 60 | Last parameter page\n"));
    QVERIFY(text.contains("\n0003 |  7.5  | Scaled\xC2\xB5 value\n"));
    QVERIFY(text.endsWith("\n003E |  | \n003F |  | Added page\n"));

    CtlBoardSim reloaded;
    QVERIFY(reloaded.loadNvr(saved));
    const QList<BoardParameter> again = reloaded.parameters();
    QCOMPARE(again.size(), table.size());
    for (qsizetype page = 0; page < table.size(); ++page) {
        QCOMPARE(again[page].value, table[page].value);
        QCOMPARE(again[page].description, table[page].description);
    }
}

void TestBoardSim::logsFramesInOrderWithCutOffFrames()
{
    QElapsedTimer clock;
    clock.start();
    const qint64 before = clock.msecsSinceReference();
    const QByteArray cut = "$22" + QByteArray(87, 'A');

    send("noise$91%");
    QCOMPARE(readUntilHash(), QByteArray("$91OK#"));
    send(cut + "$90%");
    QCOMPARE(readUntilHash(), QByteArray("$90OK#"));
    send(cut);
    QVERIFY(m_sim->waitForCommandCount(4, 2000));
    const qint64 after = clock.msecsSinceReference() + clock.elapsed();

    QCOMPARE(m_sim->commandBytes(), QList<QByteArray>({ "$91%", cut, "$90%", cut }));
    const QList<ReceivedCommand> log = m_sim->commands();
    QList<bool> terminated;
    qint64 previous = before;
    for (const ReceivedCommand &command : log) {
        terminated.append(command.terminated);
        QVERIFY(command.receivedAtMs >= previous && command.receivedAtMs <= after);
        previous = command.receivedAtMs;
    }
    QCOMPARE(terminated, QList<bool>({ true, false, true, false }));
    QCOMPARE(read(100, false), QByteArray());
}

void TestBoardSim::shapesAnswers_data()
{
    QTest::addColumn<QByteArray>("junk");
    QTest::addColumn<int>("stallAfter");
    QTest::addColumn<QByteArray>("override");
    QTest::addColumn<bool>("silent");
    QTest::addColumn<int>("trickleMs");
    QTest::addColumn<QByteArray>("trailing");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray raw("\x00\xFF$91\x80#tail", 11);
    const QByteArray longAnswer = QByteArray(240, 'x') + '#';
    QTest::newRow("junkFirst") << QByteArray("\xFE\x00junk", 6) << -1 << QByteArray() << false << 0
                               << QByteArray() << QByteArray("\xFE\x00junk$91OK#", 12);
    QTest::newRow("stalledAfterThreeBytes")
        << QByteArray() << 3 << QByteArray() << false << 0 << QByteArray() << QByteArray("$91");
    QTest::newRow("rawOverride") << QByteArray() << -1 << raw << false << 0 << QByteArray() << raw;
    QTest::newRow("overrideLongerThan200")
        << QByteArray() << -1 << longAnswer << false << 0 << QByteArray() << longAnswer;
    QTest::newRow("silent") << QByteArray() << -1 << QByteArray() << true << 0 << QByteArray()
                            << QByteArray();
    QTest::newRow("trickledBytesSpaced") << QByteArray("J") << -1 << QByteArray() << false << 60
                                         << QByteArray("\r\n") << QByteArray("J$91OK#\r\n");
    QTest::newRow("trailingAfterHash") << QByteArray() << -1 << QByteArray() << false << 0
                                       << QByteArray("$91OK#") << QByteArray("$91OK#$91OK#");
    QTest::newRow("noTrailingAfterStalledAnswer")
        << QByteArray() << 4 << QByteArray() << false << 0 << QByteArray("x") << QByteArray("$91O");
}

void TestBoardSim::shapesAnswers()
{
    QFETCH(QByteArray, junk);
    QFETCH(int, stallAfter);
    QFETCH(QByteArray, override);
    QFETCH(bool, silent);
    QFETCH(int, trickleMs);
    QFETCH(QByteArray, trailing);
    QFETCH(QByteArray, expected);
    m_sim->setJunkBeforeAnswer(junk);
    m_sim->setStallAfterBytes(stallAfter);
    if (!override.isNull())
        m_sim->setAnswerOverride("$91%", override);
    m_sim->setSilent(silent);
    m_sim->setTrickleMs(trickleMs);
    m_sim->setTrailingBytes(trailing);
    constexpr int kLatencyMs = 100;
    m_sim->setLatencyMs(kLatencyMs);
    m_sim->setLinePacing(true);

    const qint64 sentAt = m_clock.elapsed();
    send("$91%");
    const QByteArray received = readExpecting(expected.size());
    QCOMPARE(received, expected);
    // The last byte cannot arrive before the latency plus its place on the line.
    const double byteMs = trickleMs > 0 ? trickleMs : 10.0 / 57.6;
    if (!received.isEmpty())
        QVERIFY(m_lastArrival - sentAt >= kLatencyMs + qint64((received.size() - 1) * byteMs));
}

void TestBoardSim::leavesCommandsUnanswered_data()
{
    QTest::addColumn<int>("silentAfter");
    QTest::addColumn<int>("silentEvery");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("silentAfterTwo") << 2 << 0 << QByteArray("$90OK#$22000060#");
    QTest::newRow("silentAfterNone") << 0 << 0 << QByteArray();
    QTest::newRow("everySecondSilent")
        << -1 << 2 << QByteArray("$90OK#$230000Last parameter page#$20OK#");
    QTest::newRow("everyThirdThenSilentAfterFour")
        << 4 << 3 << QByteArray("$90OK#$22000060#$91OK#");
}

void TestBoardSim::leavesCommandsUnanswered()
{
    QFETCH(int, silentAfter);
    QFETCH(int, silentEvery);
    QFETCH(QByteArray, expected);

    // Commands before the knobs are set do not count.
    send("$91%");
    QCOMPARE(readUntilHash(), QByteArray("$91OK#"));
    m_sim->setSilentAfterCommands(silentAfter);
    m_sim->setSilentEvery(silentEvery);
    const QList<QByteArray> commands { "$90%", "$220000%", "$230000%", "$91%", "$200001 9%" };
    for (const QByteArray &command : commands)
        send(command);
    QVERIFY(m_sim->waitForCommandCount(6, 2000));
    QCOMPARE(read(200, false), expected);
    QCOMPARE(m_sim->commandBytes().mid(1), commands);
    QCOMPARE(m_sim->parameters().at(1).value, QStringLiteral(" 9"));
}

void TestBoardSim::hangUpIsALostDevice()
{
    m_sim->setHangUpAfterCommands(2, 3);
    send("$90%");
    QCOMPARE(readUntilHash(), QByteArray("$90OK#"));
    send("$91%");
    QByteArray received;
    while (m_port.waitForReadyRead(2000))
        received += m_port.readAll();
    received += m_port.readAll();
    QCOMPARE(received, QByteArray("$91"));
    QVERIFY(PortHungUp(m_port));
    QVERIFY(m_sim->isHungUp());
    QCOMPARE(m_sim->commandBytes(), QList<QByteArray>({ "$90%", "$91%" }));

    // Plugged back in, the link leads to a board that answers again.
    m_port.close();
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("board"));
    QStringList reports;
    QObject context;
    plugBackInAfterHangUp(
        *m_sim, &context, link, 50, [&reports](const QString &line) { reports.append(line); });
    QTRY_COMPARE(reports.size(), 2);
    QVERIFY(!m_sim->isHungUp());
    QCOMPARE(QFileInfo(link).symLinkTarget(), m_sim->portPath());
    m_port.setPortName(link);
    QVERIFY2(m_port.open(QIODevice::ReadWrite), qPrintable(m_port.errorString()));
    send("$91%");
    QCOMPARE(readUntilHash(), QByteArray("$91OK#"));
}

// The board on the slave end of a pty pair, as on a USB adapter: the tool's end is the master.
void TestBoardSim::servesASerialDevice()
{
    int master = -1;
    int slave = -1;
    char name[64] = {};
    QVERIFY(openpty(&master, &slave, name, nullptr, nullptr) == 0);
    ::close(slave);
    CtlBoardSim board;
    board.generateParameters(60);
    board.setLine(CtlBoardSim::Line::Device, QString::fromLatin1(name));
    board.setLinePacing(true);
    QVERIFY2(board.start(), qPrintable(board.errorString()));
    QCOMPARE(board.portPath(), QString::fromLatin1(name));

    QElapsedTimer clock;
    clock.start();
    QCOMPARE(::write(master, "$220009%", 8), 8);
    QByteArray received;
    while (!received.endsWith('#') && !clock.hasExpired(2000)) {
        pollfd readable { master, POLLIN, 0 };
        char buffer[64];
        const ssize_t got = ::poll(&readable, 1, 100) > 0 ? ::read(master, buffer, 64) : 0;
        received.append(buffer, qMax<ssize_t>(got, 0));
    }
    const QByteArray answer = "$2200091850#";
    QCOMPARE(received, answer);
    // Paced as on the board's own pty: the last byte comes no earlier than its place on the line.
    QVERIFY(clock.elapsed() >= qint64((answer.size() - 1) * 10.0 / 57.6));

    // The adapter at the tool's end unplugged: the board sees its line gone.
    ::close(master);
    QTRY_VERIFY(board.isHungUp());
}

void TestBoardSim::faultOptionsSetTheBoard_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QByteArray>("commands");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<bool>("hungUp");

    QByteArray overlong = "$22001A240";
    for (int digit = 0; overlong.size() < 239; ++digit)
        overlong += char('0' + digit % 10);
    overlong += '#';
    const QByteArray greetAndPoll = "$90%$91%";
    QTest::newRow("shortAnswerOnlyAsLongAsTheQuestion")
        << QStringList { "--short-answer", "3" } << QString() << QByteArray("$220003%$220004%")
        << QByteArray("$220003#$220004C#") << false;
    QTest::newRow("overlongAnswer") << QStringList { "--overlong-answer", "1a" } << QString()
                                    << QByteArray("$22001A%") << overlong << false;
    QTest::newRow("lineBreakInsideTheValue")
        << QStringList { "--line-break", "0005" } << QString() << QByteArray("$220005%")
        << QByteArray("$22000518\n000#") << false;
    QTest::newRow("junkAndTrailingEscapes")
        << QStringList { "--junk", "\\x00\\xffnoise", "--trailing", "\\r\\n" } << QString()
        << QByteArray("$91%") << QByteArray("\x00\xFFnoise$91OK#\r\n", 15) << false;
    QTest::newRow("stallAfterTwo") << QStringList { "--stall-after", "2" } << QString()
                                   << QByteArray("$91%") << QByteArray("$9") << false;
    QTest::newRow("silentAfterOne") << QStringList { "--silent-after", "1" } << QString()
                                    << greetAndPoll << QByteArray("$90OK#") << false;
    QTest::newRow("silentEverySecond") << QStringList { "--silent-every", "2" } << QString()
                                       << greetAndPoll << QByteArray("$90OK#") << false;
    QTest::newRow("hangUpAfterOneAnswer") << QStringList { "--hang-up-after", "1" } << QString()
                                          << greetAndPoll << QByteArray("$90OK#") << true;
    QTest::newRow("trickleZero") << QStringList { "--trickle", "0" }
                                 << "--trickle needs a whole number of 1 or more, not \"0\""
                                 << QByteArray() << QByteArray() << false;
    QTest::newRow("latencyNotANumber") << QStringList { "--latency", "1s" }
                                       << "--latency needs a whole number of 0 or more, not \"1s\""
                                       << QByteArray() << QByteArray() << false;
    QTest::newRow("pageNotHex") << QStringList { "--line-break", "0x3" }
                                << "--line-break needs a page number in hexadecimal, e.g. 0003, "
                                   "not \"0x3\""
                                << QByteArray() << QByteArray() << false;
    QTest::newRow("twoFaultsForOnePage")
        << QStringList { "--short-answer", "3", "--overlong-answer", "0003" }
        << "--short-answer and --overlong-answer both change the answer for page 0003"
        << QByteArray() << QByteArray() << false;
    QTest::newRow("cutEscape") << QStringList { "--trailing", "\\x4" }
                               << "--trailing takes Latin-1 text and the escapes \\r, \\n, \\t, "
                                  "\\\\ and \\xNN"
                               << QByteArray() << QByteArray() << false;
}

void TestBoardSim::faultOptionsSetTheBoard()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    QFETCH(QByteArray, commands);
    QFETCH(QByteArray, expected);
    QFETCH(bool, hungUp);

    const BoardFaultOptions options;
    QCommandLineParser parser;
    parser.addOptions(options.all());
    QVERIFY2(
        parser.parse(QStringList("ctl-board-sim") + arguments), qPrintable(parser.errorText()));
    QCOMPARE(options.apply(*m_sim, parser), error);
    if (!error.isEmpty())
        return;
    send(commands);
    QCOMPARE(readExpecting(expected.size()), expected);
    QCOMPARE(m_sim->isHungUp(), hungUp);
}

QTEST_GUILESS_MAIN(TestBoardSim)
#include "tst_boardsim.moc"
