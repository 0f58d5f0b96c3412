// One command out, one answer in, over a real pty with the simulated board at the far end.
#include "boardfixture.h"

#include "link/frame.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>

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

QByteArray elapsedMessage(qint64 elapsed) { return QByteArray::number(elapsed) + " ms"; }

} // namespace

class TestSerialLink : public QObject, protected BoardFixture {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void portIsConfiguredButNotNamedOrOpen();
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

    void lostDeviceSignalsOnceAndLatches();
    void nothingSpinsAfterHangUp();

private:
    QByteArray exchangeRaw(
        const QByteArray &answer, const QString &command = QStringLiteral("$91%"));
    QTimer &watchdog() { return LinkTestAccess::serialWatchdogTimer(*m_link); }
};

void TestSerialLink::init()
{
    QVERIFY2(makeFixture(Link), qPrintable(m_fixtureError));
    m_sim->generateParameters(20);
}

void TestSerialLink::cleanup() { dropFixture(); }

QByteArray TestSerialLink::exchangeRaw(const QByteArray &answer, const QString &command)
{
    m_sim->setAnswerOverride(command.toLatin1(), answer);
    m_link->exchange(command);
    return m_link->response().toLatin1();
}

void TestSerialLink::portIsConfiguredButNotNamedOrOpen()
{
    SerialLink link;
    const QSerialPort &port = link.port();
    QVERIFY(!port.isOpen());
    QVERIFY(port.portName().isEmpty());
    QCOMPARE(port.baudRate(QSerialPort::Input), 57600);
    QCOMPARE(port.baudRate(QSerialPort::Output), 57600);
    QCOMPARE(port.dataBits(), QSerialPort::Data8);
    QCOMPARE(port.parity(), QSerialPort::NoParity);
    QCOMPARE(port.stopBits(), QSerialPort::OneStop);
}

void TestSerialLink::commandBytes_data()
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

void TestSerialLink::commandBytes()
{
    QFETCH(QString, command);
    QFETCH(int, length);
    QFETCH(QByteArray, bytes);
    QCOMPARE(CommandBytes(command, length), bytes);
}

void TestSerialLink::writesFrameAsIs_data()
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

void TestSerialLink::writesFrameAsIs()
{
    QFETCH(QString, command);
    QFETCH(QByteArray, onWire);
    QFETCH(int, loggedLength);

    DebugCapture debug;
    m_sim->setSilent(true);
    m_link->WriteCommand(command, int(command.size()));
    QVERIFY(m_sim->waitForCommandCount(1, 3000));

    QCOMPARE(m_sim->commandBytes().constFirst(), onWire);
    QCOMPARE(m_link->command(), command);
    const QString logged
        = QStringLiteral("WriteCommand:  \"%1\"  len =  %2").arg(command).arg(loggedLength);
    QVERIFY2(debug.contains(logged), qPrintable(debug.lines().join(QLatin1Char('\n'))));
    QVERIFY(watchdog().isActive());
}

void TestSerialLink::collectsAnswer_data()
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

void TestSerialLink::collectsAnswer()
{
    QFETCH(QByteArray, answer);
    QFETCH(int, result);
    QFETCH(QByteArray, collected);
    QFETCH(QString, logLine);

    DebugCapture debug;
    m_sim->setAnswerOverride("$91%", answer);
    QCOMPARE(m_link->exchange(QStringLiteral("$91%")), result);
    QCOMPARE(m_link->response().toLatin1(), collected);
    QVERIFY2(debug.contains(logLine), qPrintable(debug.lines().last()));
    QVERIFY(!watchdog().isActive());
}

void TestSerialLink::lateAnswerIsCollectedAndLeavesTrailingBytes()
{
    // Well after the first wait for a byte, well inside the response window.
    constexpr int kLatencyMs = 250;
    m_sim->setLatencyMs(kLatencyMs);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(exchangeRaw("$22000A5#after"), QByteArray("$22000A5#"));
    QVERIFY2(timer.elapsed() >= kLatencyMs - 100, elapsedMessage(timer.elapsed()));
    QCOMPARE(readPort(m_link->port(), 5), QByteArray("after"));
}

void TestSerialLink::earlierBytesAreDiscarded()
{
    m_sim->sendRaw("$91LATE#");
    QVERIFY(m_link->port().waitForReadyRead(2000));

    m_sim->setLatencyMs(100);
    QCOMPARE(exchangeRaw("$91NOW#"), QByteArray("$91NOW#"));
}

void TestSerialLink::highByteIsLatin1AndLoggedSigned()
{
    DebugCapture debug;
    QCOMPARE(exchangeRaw("$91\xe9#"), QByteArray("$91\xe9#"));
    QCOMPARE(m_link->response().at(3), QChar(0x00E9));
    QVERIFY(debug.contains(QStringLiteral("ReadResponse: ReadChar() =  -23")));
}

void TestSerialLink::silentBoardEndsAfterWindow()
{
    DebugCapture debug;
    m_sim->setSilent(true);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(m_link->exchange(QStringLiteral("$91%")), 0);
    const qint64 elapsed = timer.elapsed();

    const int window = kTestTimings.responseWindowMs;
    QVERIFY2(elapsed >= window - 100 && elapsed < window + 1500, elapsedMessage(elapsed));
    QVERIFY(m_link->response().isEmpty());
    QVERIFY(!LinkTestAccess::watchdogTriggered(*m_link));
    QVERIFY(!watchdog().isActive());
    QVERIFY(debug.contains(QStringLiteral("watchdog triggered....bailing")));
}

void TestSerialLink::unfinishedAnswerEndsWithinBound_data()
{
    QTest::addColumn<int>("stallAfterBytes");
    QTest::addColumn<int>("trickleMs");
    QTest::addColumn<QString>("collected");

    QTest::newRow("stalledAfterThreeBytes") << 3 << 0 << "$91";
    // Each byte would restart a window measured from the last one: the second byte comes
    // inside the bound, the third after it.
    QTest::newRow("tricklingBoard") << -1 << 2 * kTestTimings.answerCompletionMs / 3 << "$9";
}

void TestSerialLink::unfinishedAnswerEndsWithinBound()
{
    QFETCH(int, stallAfterBytes);
    QFETCH(int, trickleMs);
    QFETCH(QString, collected);

    constexpr int kLatencyMs = 200;
    m_sim->setLatencyMs(kLatencyMs);
    m_sim->setStallAfterBytes(stallAfterBytes);
    m_sim->setTrickleMs(trickleMs);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(m_link->exchange(QStringLiteral("$91%")), 0);
    const qint64 elapsed = timer.elapsed();

    QCOMPARE(m_link->response(), collected);
    // Measured from the first byte, which comes after the latency.
    const int bound = kLatencyMs + kTestTimings.answerCompletionMs;
    QVERIFY2(elapsed >= bound - 100 && elapsed < bound + 1500, elapsedMessage(elapsed));
    QVERIFY(!watchdog().isActive());
}

void TestSerialLink::lostDeviceSignalsOnceAndLatches()
{
    QList<bool> openWhenTold;
    connect(m_link.get(), &SerialLink::deviceLost, this,
        [&] { openWhenTold << m_link->port().isOpen(); });
    m_sim->setHangUpAfterCommands(1, 4);
    QCOMPARE(m_link->exchange(QStringLiteral("$90%")), 0);

    QCOMPARE(openWhenTold, QList<bool> { false });
    QVERIFY(m_link->deviceWasLost());
    QVERIFY(!m_link->isLive());
    QCOMPARE(m_link->command(), QStringLiteral("$90%"));
    QVERIFY(QStringLiteral("$90OK#").startsWith(m_link->response())
        && !m_link->response().endsWith(QLatin1Char('#')));

    // Each would otherwise sit out its response window.
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < 3; ++i)
        QCOMPARE(m_link->exchange(QStringLiteral("$91%")), 0);
    QVERIFY2(
        timer.elapsed() < kTestTimings.responseWindowMs - 100, elapsedMessage(timer.elapsed()));
    QVERIFY(m_link->response().isEmpty());
    QCOMPARE(openWhenTold.size(), 1);
}

void TestSerialLink::nothingSpinsAfterHangUp()
{
    // Whoever is told runs an event loop for a while, as the window's box does.
    constexpr int kToldForMs = 500;
    connect(m_link.get(), &SerialLink::deviceLost, this, [] { QTest::qWait(kToldForMs); });
    DebugCapture debug;
    m_sim->setHangUpAfterCommands(1);
    const double cpuBefore = threadCpuSeconds();
    QElapsedTimer timer;
    timer.start();
    m_link->exchange(QStringLiteral("$91%"));
    const double cpuUsed = threadCpuSeconds() - cpuBefore;
    const qint64 elapsed = timer.elapsed();

    QVERIFY(m_link->deviceWasLost());
    QVERIFY(elapsed >= kToldForMs);
    // A wait that returns at once on the hung-up line, or an event loop that keeps waking for
    // a hung-up descriptor, takes a whole core for as long as it lasts.
    QVERIFY2(cpuUsed < 0.3 * double(elapsed) / 1000,
        qPrintable(QStringLiteral("%1 s of CPU in %2 ms").arg(cpuUsed).arg(elapsed)));
    QVERIFY(debug.lines().count(QStringLiteral("ReadResponse second try  ReadChar() =  0"))
        <= elapsed / kTestTimings.retryWaitMs);
}

QTEST_GUILESS_MAIN(TestSerialLink)
#include "tst_seriallink.moc"
