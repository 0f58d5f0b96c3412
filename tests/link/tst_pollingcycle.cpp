// The polling cycle against the simulated board on a pseudo-terminal: greeting, polls,
// farewell, and the end of a link that is lost or no longer answers.
#include "boardfixture.h"

#include "link/pollingcycle.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {

constexpr qint64 kTickMs = kTestTimings.pollIntervalMs;
// The board's log and the test read the same monotonic clock; this covers timer slack,
// exchange time and a busy machine, and stays under half a tick.
constexpr qint64 kMarginMs = 120;
// Generous upper bound for waiting on something due within the next tick.
constexpr int kTickWaitMs = int(kTickMs + 2000);

qint64 nowMs()
{
    QElapsedTimer clock;
    clock.start();
    return clock.msecsSinceReference();
}

QByteArray gapMessage(qint64 actual, qint64 expected)
{
    return QByteArray::number(actual) + " ms, expected " + QByteArray::number(expected) + " ms";
}

} // namespace

#define COMPARE_GAP(actual, expected)                                                              \
    QVERIFY2(qAbs((actual) - (expected)) <= kMarginMs, gapMessage((actual), (expected)).constData())

class TestPollingCycle : public QObject, protected BoardFixture {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void connectingGreetsThenPollsEverySecondTick();
    void commsWhileConnectedClosesAtNextTick_data();
    void commsWhileConnectedClosesAtNextTick();
    void countdownPhaseCarriesOverToNextConnection_data();
    void countdownPhaseCarriesOverToNextConnection();
    void lostBoardWarnsOnceWithoutNestedExchanges_data();
    void lostBoardWarnsOnceWithoutNestedExchanges();
    void reconnectingAfterLostBoardReadsAgain();
    void hangUpBetweenTicksClosesTheLinkAtOnce();
    void unansweredPollsCloseTheLink_data();
    void unansweredPollsCloseTheLink();

private:
    QSerialPort &port() { return m_link->port(); }
    int sentCount() const { return int(m_sim->commands().size()); }
    // Opens the link and starts the cycle, as COMMS does; its timer ticks on its own.
    void connectLink();
    // The same, with the ticks in the test's hands: tick() is one timer tick, at once.
    void connectTicked();
    void tick(int count = 1);

    std::unique_ptr<PollingCycle> m_cycle;
};

void TestPollingCycle::init()
{
    QVERIFY2(makeFixture(Board), qPrintable(m_fixtureError));
    m_sim->generateParameters(4);
    // Opened by each test, as COMMS opens it.
    m_link = std::make_unique<SerialLink>(kTestTimings);
    m_cycle = std::make_unique<PollingCycle>(*m_link);
}

void TestPollingCycle::cleanup()
{
    m_cycle.reset();
    dropFixture();
}

void TestPollingCycle::connectLink()
{
    QVERIFY(openLink(*m_link, m_sim->portPath()));
    m_cycle->start();
}

void TestPollingCycle::connectTicked()
{
    connectLink();
    m_cycle->timer().stop();
}

void TestPollingCycle::tick(int count)
{
    for (int i = 0; i < count; ++i)
        m_cycle->MainPollingTimerElapsed();
}

void TestPollingCycle::connectingGreetsThenPollsEverySecondTick()
{
    QSignalSpy handshakes(m_cycle.get(), &PollingCycle::handshakeDone);
    const qint64 openedAt = nowMs();
    connectLink();
    QCOMPARE(sentCount(), 0);

    QTRY_COMPARE_WITH_TIMEOUT(sentCount(), 3, int(5 * kTickMs + 2000));
    QCOMPARE(m_sim->commandBytes(), QList<QByteArray>({ "$90%", "$91%", "$91%" }));
    const QList<ReceivedCommand> sent = m_sim->commands();
    COMPARE_GAP(sent[0].receivedAtMs - openedAt, kTickMs);
    COMPARE_GAP(sent[1].receivedAtMs - sent[0].receivedAtMs, 2 * kTickMs);
    COMPARE_GAP(sent[2].receivedAtMs - sent[1].receivedAtMs, 2 * kTickMs);
    QCOMPARE(handshakes.count(), 1);
    QVERIFY(port().isOpen());
}

// COMMS on an open port asks the cycle to disconnect.
void TestPollingCycle::commsWhileConnectedClosesAtNextTick_data()
{
    QTest::addColumn<bool>("afterGreeting");
    QTest::addColumn<int>("presses");
    QTest::addColumn<QList<QByteArray>>("expectedCommands");

    QTest::newRow("onePressWhilePolling") << true << 1 << QList<QByteArray> { "$90%", "$90%" };
    QTest::newRow("twoPressesActAsOne") << true << 2 << QList<QByteArray> { "$90%", "$90%" };
    QTest::newRow("pressBeforeGreetingSkipsIt") << false << 1 << QList<QByteArray> { "$90%" };
}

void TestPollingCycle::commsWhileConnectedClosesAtNextTick()
{
    QFETCH(bool, afterGreeting);
    QFETCH(int, presses);
    QFETCH(QList<QByteArray>, expectedCommands);

    QSignalSpy disconnected(m_cycle.get(), &PollingCycle::disconnected);
    connectTicked();
    if (afterGreeting)
        tick();

    for (int i = 0; i < presses; ++i)
        m_cycle->requestDisconnect();
    QVERIFY(port().isOpen());
    QCOMPARE(disconnected.count(), 0);

    tick();
    QVERIFY(!port().isOpen());
    QCOMPARE(m_sim->commandBytes(), expectedCommands);
    QVERIFY(!m_cycle->disconnectIsRequested());
    QCOMPARE(disconnected.count(), 1);
    QCOMPARE(m_cycle->state(), 0);
    QVERIFY(!m_cycle->timer().isActive());
}

void TestPollingCycle::countdownPhaseCarriesOverToNextConnection_data()
{
    QTest::addColumn<int>("countdownAtClose");
    QTest::addColumn<int>("firstPollTick");

    QTest::newRow("closedRightAfterGreeting") << 1 << 3;
    QTest::newRow("closedBetweenTwoPolls") << 0 << 2;
}

void TestPollingCycle::countdownPhaseCarriesOverToNextConnection()
{
    QFETCH(int, countdownAtClose);
    QFETCH(int, firstPollTick);

    connectTicked();
    tick(countdownAtClose == 1 ? 1 : 2);
    QCOMPARE(m_cycle->countdown(), countdownAtClose);
    m_cycle->requestDisconnect();
    tick();
    QVERIFY(!port().isOpen());
    QCOMPARE(m_sim->commandBytes(), QList<QByteArray>({ "$90%", "$90%" }));

    m_sim->clearCommands();
    connectTicked();
    tick(firstPollTick - 1);
    QCOMPARE(m_sim->commandBytes(), QList<QByteArray>({ "$90%" }));
    tick();
    QCOMPARE(m_sim->commandBytes(), QList<QByteArray>({ "$90%", "$91%" }));
}

void TestPollingCycle::lostBoardWarnsOnceWithoutNestedExchanges_data()
{
    QTest::addColumn<bool>("lostDuringTick");

    QTest::newRow("duringStatusPoll") << true;
    // Here the event loop of whoever is told is not inside a tick, so ticks do reach it.
    QTest::newRow("duringExchangeOutsideTick") << false;
}

void TestPollingCycle::lostBoardWarnsOnceWithoutNestedExchanges()
{
    QFETCH(bool, lostDuringTick);

    connectTicked();
    tick(lostDuringTick ? 2 : 1);
    // From here the timer ticks on its own; a status poll is due at its next tick.
    m_cycle->timer().start();
    QSignalSpy disconnected(m_cycle.get(), &PollingCycle::disconnected);
    DebugCapture debug;
    // The board logs the next command, then drops the line without answering.
    m_sim->setHangUpAfterCommands(1);

    // Whoever is told runs an event loop across two ticks, as the window's box does while the
    // technician reads it.
    int timesTold = 0;
    int writesWhileTold = -1;
    int disconnectsWhileTold = -1;
    connect(m_link.get(), &SerialLink::deviceLost, this, [&] {
        ++timesTold;
        const int writesBefore = debug.commandsWritten();
        QEventLoop told;
        int ticks = 0;
        QObject context;
        connect(&m_cycle->timer(), &QTimer::timeout, &context, [&] {
            if (++ticks >= 2)
                told.quit();
        });
        QTimer::singleShot(int(2 * kTickMs + kMarginMs), &told, &QEventLoop::quit);
        told.exec();
        writesWhileTold = debug.commandsWritten() - writesBefore;
        disconnectsWhileTold = int(disconnected.count());
    });

    if (!lostDuringTick)
        m_link->exchange(QStringLiteral("$91%"));
    QTRY_VERIFY_WITH_TIMEOUT(writesWhileTold >= 0, int(4 * kTickMs + 2000));
    QCOMPARE(timesTold, 1);
    QCOMPARE(m_link->command(), QStringLiteral("$91%"));
    // No tick acts on the link inside an exchange that another caller runs.
    QCOMPARE(writesWhileTold, 0);
    QCOMPARE(disconnectsWhileTold, 0);

    // The lost device ends the cycle, without telling anyone again.
    QTRY_COMPARE_WITH_TIMEOUT(disconnected.count(), 1, kTickWaitMs);
    QVERIFY(!port().isOpen());
    QVERIFY(!m_cycle->timer().isActive());
    QCOMPARE(timesTold, 1);
}

void TestPollingCycle::reconnectingAfterLostBoardReadsAgain()
{
    QSignalSpy lost(m_link.get(), &SerialLink::deviceLost);
    QSignalSpy disconnected(m_cycle.get(), &PollingCycle::disconnected);
    connectTicked();
    tick();
    m_sim->setHangUpAfterCommands(1);
    tick(2);
    QCOMPARE(lost.count(), 1);
    QCOMPARE(disconnected.count(), 1);
    QVERIFY(m_link->deviceWasLost());
    QVERIFY(!port().isOpen());

    // The replugged board comes back on a new device.
    QVERIFY(m_sim->start());
    m_sim->clearCommands();
    connectTicked();
    tick();
    QCOMPARE(m_sim->commandBytes(), QList<QByteArray>({ "$90%" }));
    QCOMPARE(m_link->response(), QStringLiteral("$90OK#"));
    QVERIFY(m_link->exchange(QStringLiteral("$220001%")) > 8);
    QVERIFY(m_link->response().startsWith(QLatin1String("$220001")));
    QVERIFY(m_link->response().endsWith(QLatin1Char('#')));
    QCOMPARE(lost.count(), 1);
}

void TestPollingCycle::hangUpBetweenTicksClosesTheLinkAtOnce()
{
    // No tick comes to find the hang-up: the port itself has to tell.
    connectTicked();
    tick();
    QSignalSpy lost(m_link.get(), &SerialLink::deviceLost);
    QSignalSpy disconnected(m_cycle.get(), &PollingCycle::disconnected);
    const double cpuBefore = threadCpuSeconds();
    QElapsedTimer timer;
    timer.start();
    m_sim->setHangUpAfterCommands(0);

    QTRY_COMPARE_WITH_TIMEOUT(lost.count(), 1, 5000);
    QVERIFY(m_link->deviceWasLost());
    QVERIFY(!port().isOpen());
    // A hung-up descriptor left open would keep the event loop awake.
    QTest::qWait(300);
    const double cpuUsed = threadCpuSeconds() - cpuBefore;
    QVERIFY2(cpuUsed < 0.3 * double(timer.elapsed()) / 1000,
        qPrintable(QStringLiteral("%1 s of CPU in %2 ms").arg(cpuUsed).arg(timer.elapsed())));

    // The next tick ends the cycle without sending anything more.
    tick();
    QCOMPARE(disconnected.count(), 1);
    QCOMPARE(m_sim->commandBytes(), QList<QByteArray>({ "$90%" }));
    QCOMPARE(lost.count(), 1);
}

void TestPollingCycle::unansweredPollsCloseTheLink_data()
{
    QTest::addColumn<bool>("silent");
    QTest::addColumn<int>("silentEvery");

    QTest::newRow("silentBoardOrWrongPort") << true << 0;
    QTest::newRow("boardAnsweringEveryOtherPoll") << false << 2;
}

void TestPollingCycle::unansweredPollsCloseTheLink()
{
    QFETCH(bool, silent);
    QFETCH(int, silentEvery);
    m_sim->setSilent(silent);
    m_sim->setSilentEvery(silentEvery);
    QSignalSpy boardSilent(m_cycle.get(), &PollingCycle::boardSilent);
    QSignalSpy disconnected(m_cycle.get(), &PollingCycle::disconnected);
    connectTicked();
    const QString portName = port().portName();

    if (silent) {
        // The greeting and two status polls, each sitting out its response window.
        tick(4);
        QVERIFY(port().isOpen());
        tick();
        QCOMPARE(boardSilent.count(), 1);
        QCOMPARE(boardSilent.constFirst().constFirst().toString(), portName);
        QCOMPARE(disconnected.count(), 1);
        QVERIFY(!port().isOpen());
        QCOMPARE(m_sim->commandBytes(), QList<QByteArray>({ "$90%", "$91%", "$91%" }));
    } else {
        // Six exchanges: a count that a complete answer failed to reset would reach three.
        tick(11);
        QCOMPARE(sentCount(), 6);
        QCOMPARE(boardSilent.count(), 0);
        QVERIFY(port().isOpen());
    }
}

QTEST_GUILESS_MAIN(TestPollingCycle)
#include "tst_pollingcycle.moc"
