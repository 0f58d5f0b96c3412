// One command out, one answer in, over a real pty with the simulated board at the far end.
#include "testsupport.h"

#include "boardsim.h"
#include "link/frame.h"

#include <QElapsedTimer>
#include <QtTest>

#include <memory>

using Access = MainWindowTestAccess;

namespace {

// Reads what the port receives until count bytes are in or two seconds pass.
QByteArray readPort(QSerialPort &port, int count)
{
    QByteArray bytes;
    const QDeadlineTimer deadline(2000);
    while (bytes.size() < count && !deadline.hasExpired()) {
        if (port.bytesAvailable() == 0)
            port.waitForReadyRead(20);
        bytes += port.readAll();
    }
    return bytes;
}

} // namespace

class TestProtocol : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void commandBytes_data();
    void commandBytes();
    void writesFrameAsIs_data();
    void writesFrameAsIs();

    void collectsAnswer_data();
    void collectsAnswer();
    void lateAnswerIsCollectedAndLeavesTrailingBytes();
    void earlierBytesAreDiscarded();
    void highByteIsLatin1AndLoggedSigned();

    void silentBoardEndsAfterWindow();
    void unfinishedAnswerEndsWithinBound_data();
    void unfinishedAnswerEndsWithinBound();

    void lostDeviceShowsOneBoxAndLatches();
    void nothingSpinsAfterHangUp();

private:
    SerialLink &link() { return Access::link(*m_window); }
    QByteArray exchangeRaw(
        const QByteArray &answer, const QString &command = QStringLiteral("$91%"));

    std::unique_ptr<CtlBoardSim> m_board;
    std::unique_ptr<MainWindow> m_window;
};

void TestProtocol::init()
{
    m_board = std::make_unique<CtlBoardSim>();
    QVERIFY2(m_board->start(), qPrintable(m_board->errorString()));
    m_board->generateParameters(20);
    m_window = std::make_unique<MainWindow>();
    QVERIFY(openWindowPort(*m_window, m_board->portPath()));
}

void TestProtocol::cleanup()
{
    m_window.reset();
    m_board.reset();
}

QByteArray TestProtocol::exchangeRaw(const QByteArray &answer, const QString &command)
{
    m_board->setAnswerOverride(command.toLatin1(), answer);
    Access::exchange(*m_window, command);
    return link().response().toLatin1();
}

void TestProtocol::commandBytes_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("length");
    QTest::addColumn<QByteArray>("bytes");

    const QString longCommand
        = QStringLiteral("$20") + QString(91, QLatin1Char('x')) + QStringLiteral("%");
    QTest::newRow("plain") << QStringLiteral("$91%") << 4 << QByteArray("$91%");
    QTest::newRow("cutAt90") << longCommand << int(longCommand.size())
                             << ("$20" + QByteArray(87, 'x'));
    QTest::newRow("latin1Kept") << QStringLiteral("$21000Aé%") << 9 << QByteArray("$21000A\xe9%");
    QTest::newRow("outsideLatin1") << QStringLiteral("$21000A€%") << 9 << QByteArray("$21000A?%");
    QTest::newRow("shorterLength") << QStringLiteral("$91%") << 2 << QByteArray("$9");
}

void TestProtocol::commandBytes()
{
    QFETCH(QString, command);
    QFETCH(int, length);
    QFETCH(QByteArray, bytes);
    QCOMPARE(CommandBytes(command, length), bytes);
}

void TestProtocol::writesFrameAsIs_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QByteArray>("onWire");
    QTest::addColumn<int>("loggedLength");

    const QString longCommand
        = QStringLiteral("$20") + QString(91, QLatin1Char('7')) + QStringLiteral("%");
    QTest::newRow("statusPoll") << QStringLiteral("$91%") << QByteArray("$91%") << 4;
    QTest::newRow("95Characters") << longCommand << ("$20" + QByteArray(87, '7')) << 90;
    QTest::newRow("outsideLatin1") << QStringLiteral("$210001Ω%") << QByteArray("$210001?%") << 9;
}

void TestProtocol::writesFrameAsIs()
{
    QFETCH(QString, command);
    QFETCH(QByteArray, onWire);
    QFETCH(int, loggedLength);

    DebugCapture debug;
    m_board->setSilent(true);
    Access::writeCommand(*m_window, command, int(command.size()));
    QVERIFY(m_board->waitForCommandCount(1, 3000));

    QCOMPARE(m_board->commandBytes().constFirst(), onWire);
    QCOMPARE(link().command(), command);
    const QString logged
        = QStringLiteral("WriteCommand:  \"%1\"  len =  %2").arg(command).arg(loggedLength);
    QVERIFY2(debug.contains(logged), qPrintable(debug.lines().join(QLatin1Char('\n'))));
    QVERIFY(Access::serialWatchdogTimer(*m_window).isActive());
}

void TestProtocol::collectsAnswer_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("collected");
    QTest::addColumn<QString>("logLine");

    const QByteArray full200 = "$91" + QByteArray(196, 'a') + "#";
    const QByteArray over = "$91" + QByteArray(220, 'b') + "#";
    const QByteArray hashAt201 = "$91" + QByteArray(197, 'c') + "#";
    QTest::newRow("short") << QByteArray("$91OK#") << 6 << QByteArray("$91OK#")
                           << "RCV_Str = \"$91OK#\"";
    QTest::newRow("exactly200") << full200 << 200 << full200
                                << QString("RCV_Str = \"%1\"").arg(QString::fromLatin1(full200));
    QTest::newRow("overlong") << over << kResponseOverflow << over.left(201) << "responseLen > 200";
    QTest::newRow("hashAs201st") << hashAt201 << kResponseOverflow << hashAt201
                                 << "responseLen > 200";
    QTest::newRow("nulDropped") << QByteArray("$91A\0B#", 7) << 6 << QByteArray("$91AB#")
                                << "RCV_Str = \"$91AB#\"";
    QTest::newRow("junkFirst") << QByteArray("zz$91OK#") << 8 << QByteArray("zz$91OK#")
                               << "RCV_Str = \"zz$91OK#\"";
}

void TestProtocol::collectsAnswer()
{
    QFETCH(QByteArray, answer);
    QFETCH(int, result);
    QFETCH(QByteArray, collected);
    QFETCH(QString, logLine);

    DebugCapture debug;
    m_board->setAnswerOverride("$91%", answer);
    QCOMPARE(Access::exchange(*m_window, QStringLiteral("$91%")), result);
    QCOMPARE(link().response().toLatin1(), collected);
    QVERIFY2(debug.contains(logLine), qPrintable(debug.lines().last()));
    QVERIFY(!Access::serialWatchdogTimer(*m_window).isActive());
}

void TestProtocol::lateAnswerIsCollectedAndLeavesTrailingBytes()
{
    m_board->setLatencyMs(500);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(exchangeRaw("$22000A5#after"), QByteArray("$22000A5#"));
    QVERIFY(timer.elapsed() >= 450);
    QCOMPARE(readPort(Access::serialPort(*m_window), 5), QByteArray("after"));
}

void TestProtocol::earlierBytesAreDiscarded()
{
    QSerialPort &port = Access::serialPort(*m_window);
    m_board->sendRaw("$91LATE#");
    QVERIFY(port.waitForReadyRead(2000));

    m_board->setLatencyMs(100);
    QCOMPARE(exchangeRaw("$91NOW#"), QByteArray("$91NOW#"));
}

void TestProtocol::highByteIsLatin1AndLoggedSigned()
{
    DebugCapture debug;
    QCOMPARE(exchangeRaw("$91\xe9#"), QByteArray("$91\xe9#"));
    QCOMPARE(link().response().at(3), QChar(0x00E9));
    QVERIFY(debug.contains(QStringLiteral("ReadResponse: ReadChar() =  -23")));
}

void TestProtocol::silentBoardEndsAfterWindow()
{
    DebugCapture debug;
    m_board->setSilent(true);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(Access::exchange(*m_window, QStringLiteral("$91%")), 0);
    const qint64 elapsed = timer.elapsed();

    QVERIFY2(elapsed >= LinkTimings().responseWindowMs - 50
            && elapsed < LinkTimings().responseWindowMs + 1500,
        qPrintable(QString::number(elapsed)));
    QVERIFY(link().response().isEmpty());
    QVERIFY(!Access::watchdogTriggered(*m_window));
    QVERIFY(!Access::serialWatchdogTimer(*m_window).isActive());
    QVERIFY(debug.contains(QStringLiteral("watchdog triggered....bailing")));
}

void TestProtocol::unfinishedAnswerEndsWithinBound_data()
{
    QTest::addColumn<int>("stallAfterBytes");
    QTest::addColumn<int>("trickleMs");
    QTest::addColumn<QString>("collected");

    QTest::newRow("stalledAfterThreeBytes") << 3 << 0 << "$91";
    // A byte every 1.5 s would otherwise keep one exchange going for minutes.
    QTest::newRow("tricklingBoard") << -1 << 1500 << "$9";
}

void TestProtocol::unfinishedAnswerEndsWithinBound()
{
    QFETCH(int, stallAfterBytes);
    QFETCH(int, trickleMs);
    QFETCH(QString, collected);

    constexpr int kLatencyMs = 300;
    m_board->setLatencyMs(kLatencyMs);
    m_board->setStallAfterBytes(stallAfterBytes);
    m_board->setTrickleMs(trickleMs);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(Access::exchange(*m_window, QStringLiteral("$91%")), 0);
    const qint64 elapsed = timer.elapsed();

    QCOMPARE(link().response(), collected);
    // Measured from the first byte, which comes after the latency.
    QVERIFY2(elapsed >= kLatencyMs + LinkTimings().answerCompletionMs - 50 && elapsed < 4200,
        qPrintable(QString::number(elapsed)));
    QVERIFY(!Access::serialWatchdogTimer(*m_window).isActive());
}

void TestProtocol::lostDeviceShowsOneBoxAndLatches()
{
    ModalBoxCatcher boxes;
    m_board->setHangUpAfterCommands(1, 4);
    Access::exchange(*m_window, QStringLiteral("$90%"));

    QCOMPARE(boxes.boxes().size(), 1);
    QCOMPARE(boxes.boxes().first().title, QStringLiteral("RIZ_OVEDA"));
    QCOMPARE(boxes.boxes().first().text, QStringLiteral("Error: Read timeout on command $90%"));
    QVERIFY(link().deviceWasLost());
    QVERIFY(QStringLiteral("$90OK#").startsWith(link().response())
        && !link().response().endsWith(QLatin1Char('#')));

    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < 3; ++i)
        QCOMPARE(Access::exchange(*m_window, QStringLiteral("$91%")), 0);
    QVERIFY(timer.elapsed() < 500);
    QVERIFY(link().response().isEmpty());
    QCOMPARE(boxes.boxes().size(), 1);
}

void TestProtocol::nothingSpinsAfterHangUp()
{
    constexpr int kBoxOpenMs = 1000;
    DebugCapture debug;
    ModalBoxCatcher boxes;
    boxes.holdOpenFor(kBoxOpenMs);
    m_board->setHangUpAfterCommands(1);
    const double cpuBefore = threadCpuSeconds();
    QElapsedTimer timer;
    timer.start();
    Access::exchange(*m_window, QStringLiteral("$91%"));
    const double cpuUsed = threadCpuSeconds() - cpuBefore;
    const qint64 elapsed = timer.elapsed();

    QCOMPARE(boxes.boxes().size(), 1);
    QVERIFY(elapsed >= kBoxOpenMs);
    // A wait that returns at once on the hung-up line, or a box whose event loop keeps
    // waking for it, takes a whole core for as long as it lasts.
    QVERIFY2(cpuUsed < 0.3 * double(elapsed) / 1000,
        qPrintable(QStringLiteral("%1 s of CPU in %2 ms").arg(cpuUsed).arg(elapsed)));
    QVERIFY(debug.lines().count(QStringLiteral("ReadResponse second try  ReadChar() =  0"))
        <= elapsed / LinkTimings().retryWaitMs);
}

QTEST_MAIN(TestProtocol)
#include "tst_protocol.moc"
