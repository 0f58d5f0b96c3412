// Connecting, polling and disconnecting against the simulated board on a pseudo-terminal.
#include "testsupport.h"

#include "boardsim.h"
#include "ui/styles.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QProcess>
#include <QtTest>

#include <grp.h>
#include <memory>
#include <unistd.h>

namespace {

constexpr qint64 kTickMs = 750;
// The board's log and the test read the same monotonic clock; this covers timer slack,
// exchange time and a busy machine.
constexpr qint64 kMarginMs = 250;
// Generous upper bound for waiting on something due within the next tick.
constexpr int kTickWaitMs = int(kTickMs + 2000);

const QString kNoFileName = QStringLiteral("------------------");

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

// A cause sentence with the port, the holder's process id and the lock file filled in.
QString expectedCause(QString text, const QString &port, qint64 pid, const QString &lockFile)
{
    return text.replace(QLatin1String("{port}"), port)
        .replace(QLatin1String("{pid}"), QString::number(pid))
        .replace(QLatin1String("{lock}"), lockFile);
}

int writesLogged(const DebugCapture &debug)
{
    int writes = 0;
    const QStringList lines = debug.lines();
    for (const QString &line : lines)
        writes += line.startsWith(QLatin1String("WriteCommand:")) ? 1 : 0;
    return writes;
}

} // namespace

#define COMPARE_GAP(actual, expected)                                                              \
    QVERIFY2(qAbs((actual) - (expected)) <= kMarginMs, gapMessage((actual), (expected)).constData())

class TestPolling : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void choosingAnEntry_data();
    void choosingAnEntry();
    void portThatCannotOpenWarnsAndStaysDisconnected_data();
    void portThatCannotOpenWarnsAndStaysDisconnected();
    void connectingGreetsThenPollsEverySecondTick();
    void commsWhileConnectedClosesAtNextTick_data();
    void commsWhileConnectedClosesAtNextTick();
    void choosingAnotherPortWhileConnectedTakesEffectOnReopen();
    void countdownPhaseCarriesOverToNextConnection_data();
    void countdownPhaseCarriesOverToNextConnection();
    void lostBoardWarnsOnceWithoutNestedExchanges_data();
    void lostBoardWarnsOnceWithoutNestedExchanges();
    void reconnectingAfterLostBoardReadsAgain();
    void hangUpBetweenTicksClosesTheLinkAtOnce();
    void unansweredPollsCloseTheLink_data();
    void unansweredPollsCloseTheLink();
    void closingWindowWhileConnectedClosesPortSilently();

private:
    MainWindowUi &ui() { return MainWindowTestAccess::ui(*m_window); }
    QSerialPort &port() { return MainWindowTestAccess::serialPort(*m_window); }
    int sentCount() const { return int(m_sim->commands().size()); }
    void choose(const QString &entry);
    void connectAndAwaitGreeting();
    void verifyConnectedLook();
    void verifyDisconnectedLook();

    std::unique_ptr<CtlBoardSim> m_sim;
    std::unique_ptr<CtlBoardSim> m_otherSim;
    std::unique_ptr<MainWindow> m_window;
};

void TestPolling::init()
{
    m_sim = std::make_unique<CtlBoardSim>();
    m_sim->generateParameters(4);
    QVERIFY2(m_sim->start(), qPrintable(m_sim->errorString()));
    m_window = std::make_unique<MainWindow>();
    m_window->show();
}

void TestPolling::cleanup()
{
    m_window.reset();
    m_otherSim.reset();
    m_sim.reset();
}

void TestPolling::choose(const QString &entry)
{
    QComboBox *list = ui().comboBoxSerialPorts;
    int index = list->findText(entry);
    if (index < 0) {
        list->addItem(entry);
        index = list->count() - 1;
    }
    list->setCurrentIndex(index);
    emit list->textActivated(entry);
}

void TestPolling::connectAndAwaitGreeting()
{
    choose(m_sim->portPath());
    ui().btnConnectPort->click();
    QTRY_COMPARE_WITH_TIMEOUT(sentCount(), 1, kTickWaitMs);
    QCOMPARE(m_sim->commandBytes().constFirst(), QByteArray("$90%"));
}

void TestPolling::verifyConnectedLook()
{
    QCOMPARE(ui().btnConnectPort->styleSheet(), kStyleButtonGreen);
    QCOMPARE(ui().editFromCTLPCB->text(), QStringLiteral("CtlUpload"));
    QCOMPARE(ui().editToCTLPCB->text(), QStringLiteral("CtlDnLoad"));
    QVERIFY(ui().btnFromCTL_PCB->isEnabled());
    QVERIFY(ui().btnToCTL_PCB->isEnabled());
}

void TestPolling::verifyDisconnectedLook()
{
    QVERIFY(!ui().btnConnectPort->isHidden());
    QCOMPARE(ui().btnConnectPort->styleSheet(), kStyleButtonRed);
    QCOMPARE(ui().editFromCTLPCB->text(), kNoFileName);
    QCOMPARE(ui().editToCTLPCB->text(), kNoFileName);
    QVERIFY(!ui().btnFromCTL_PCB->isEnabled());
    QVERIFY(!ui().btnToCTL_PCB->isEnabled());
    QVERIFY(!MainWindowTestAccess::mainPollingTimer(*m_window).isActive());
}

void TestPolling::choosingAnEntry_data()
{
    QTest::addColumn<bool>("portChosenBefore");
    QTest::addColumn<bool>("chooseEmptyEntry");
    QTest::addColumn<bool>("commsShown");

    QTest::newRow("emptyEntryAtStartKeepsCommsHidden") << false << true << false;
    QTest::newRow("emptyEntryAfterPortKeepsThatPort") << true << true << true;
    QTest::newRow("portShowsRedCommsAndSendsNothing") << false << false << true;
}

void TestPolling::choosingAnEntry()
{
    QFETCH(bool, portChosenBefore);
    QFETCH(bool, chooseEmptyEntry);
    QFETCH(bool, commsShown);

    if (portChosenBefore)
        choose(m_sim->portPath());
    choose(chooseEmptyEntry ? QString() : m_sim->portPath());

    QCOMPARE(!ui().btnConnectPort->isHidden(), commsShown);
    if (commsShown) {
        QCOMPARE(ui().btnConnectPort->styleSheet(), kStyleButtonRed);
        QCOMPARE(ui().btnConnectPort->text(), QStringLiteral("COMMS"));
        QVERIFY(!port().portName().isEmpty());
    } else {
        QVERIFY(port().portName().isEmpty());
    }
    QVERIFY(!port().isOpen());
    QVERIFY(!MainWindowTestAccess::mainPollingTimer(*m_window).isActive());
    QCOMPARE(ui().editFromCTLPCB->text(), kNoFileName);
    QCOMPARE(sentCount(), 0);
}

void TestPolling::portThatCannotOpenWarnsAndStaysDisconnected_data()
{
    QTest::addColumn<QString>("setUp");
    QTest::addColumn<QString>("reason");

    const QString locking
        = QStringLiteral(", error code 2 Permission error while locking the device\n");
    QTest::newRow("missingDevice")
        << "missing"
        << ", error code 1 No such file or directory\n{port} is gone: the adapter may have been "
           "unplugged.";
    // Qt's lock file refuses the second open before the device is touched, so root, whom the
    // tty's exclusive mode would let through, is refused the same way.
    QTest::newRow("heldByAnotherProgram")
        << "held" << locking + "{port} is in use by port-probe (pid {pid}).";
    // Root opens any node and removes any lock file: these two open as another user.
    QTest::newRow("staleLockFile") << "staleLock"
                                   << locking
            + "{port} is locked by a program that has ended: remove the lock file {lock} (sudo rm "
              "{lock}), then try again.";
    QTest::newRow("noPermission") << "forbidden"
                                  << ", error code 2 Permission denied\nThis account may not use "
                                     "{port}: join the group dialout "
                                     "(sudo usermod -aG dialout $USER), then log in again.";
}

void TestPolling::portThatCannotOpenWarnsAndStaysDisconnected()
{
    QFETCH(QString, setUp);
    QFETCH(QString, reason);

    QString path = m_sim->portPath();
    QString shownName = path.mid(QStringLiteral("/dev/").size());
    const QString lockFile = QStringLiteral("/var/lock/LCK..") + shownName.replace('/', '_');
    shownName = path.mid(QStringLiteral("/dev/").size());
    QProcess probe;
    qint64 pid = 0;
    const bool root = ::geteuid() == 0;
    if (setUp == QLatin1String("missing")) {
        path = QDir::tempPath() + QStringLiteral("/riz-no-such-port-")
            + QString::number(QCoreApplication::applicationPid());
        shownName = path;
    } else if (setUp == QLatin1String("held")) {
        probe.start(QStringLiteral(PORT_PROBE), { QStringLiteral("hold"), path });
        QVERIFY(probe.waitForReadyRead(10000));
        QCOMPARE(probe.readAll(), QByteArray("held\n"));
        pid = probe.processId();
    } else {
        if (setUp == QLatin1String("staleLock")) {
            if (!root)
                QSKIP("a lock file that the opener cannot remove needs another user: run as root");
            QProcess ended;
            ended.start(QStringLiteral("true"), {});
            QVERIFY(ended.waitForStarted());
            const qint64 endedPid = ended.processId();
            QVERIFY(ended.waitForFinished());
            QFile lock(lockFile);
            QVERIFY(lock.open(QIODevice::WriteOnly));
            lock.write(QByteArray::number(endedPid) + "\nriz-oveda\n"
                + QSysInfo::machineHostName().toUtf8() + "\n");
        }
        probe.setChildProcessModifier([root] {
            if (root
                && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
                ::_exit(3);
        });
        if (!root)
            QVERIFY(QFile::setPermissions(path, {}));
        probe.start(QStringLiteral(PORT_PROBE), { QStringLiteral("open"), path });
        QVERIFY(probe.waitForFinished(10000));
        QFile::remove(lockFile);
        if (!root)
            QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
        QCOMPARE(probe.exitCode(), 1);
        QCOMPARE(QString::fromLocal8Bit(probe.readAll()),
            QStringLiteral("Can't open ") + shownName
                + expectedCause(reason, shownName, pid, lockFile));
        return;
    }

    ModalBoxCatcher catcher;
    choose(path);
    ui().btnConnectPort->click();
    probe.closeWriteChannel();
    probe.waitForFinished();

    QCOMPARE(catcher.boxes().size(), 1);
    QCOMPARE(catcher.boxes().constFirst().title, QStringLiteral("RIZ_OVEDA"));
    QCOMPARE(catcher.boxes().constFirst().text,
        QStringLiteral("Can't open ") + shownName
            + expectedCause(reason, shownName, pid, lockFile));
    QVERIFY(!port().isOpen());
    verifyDisconnectedLook();
    QCOMPARE(MainWindowTestAccess::cycle(*m_window).state(), 0);
}

void TestPolling::connectingGreetsThenPollsEverySecondTick()
{
    choose(m_sim->portPath());
    const qint64 openedAt = nowMs();
    ui().btnConnectPort->click();

    QVERIFY(port().isOpen());
    verifyConnectedLook();
    QCOMPARE(sentCount(), 0);

    QTRY_COMPARE_WITH_TIMEOUT(sentCount(), 3, int(5 * kTickMs + 2000));
    QCOMPARE(m_sim->commandBytes(), QList<QByteArray>({ "$90%", "$91%", "$91%" }));
    const QList<ReceivedCommand> sent = m_sim->commands();
    COMPARE_GAP(sent[0].receivedAtMs - openedAt, kTickMs);
    COMPARE_GAP(sent[1].receivedAtMs - sent[0].receivedAtMs, 2 * kTickMs);
    COMPARE_GAP(sent[2].receivedAtMs - sent[1].receivedAtMs, 2 * kTickMs);
    verifyConnectedLook();
}

void TestPolling::commsWhileConnectedClosesAtNextTick_data()
{
    QTest::addColumn<bool>("afterGreeting");
    QTest::addColumn<int>("presses");
    QTest::addColumn<QList<QByteArray>>("expectedCommands");

    QTest::newRow("onePressWhilePolling") << true << 1 << QList<QByteArray> { "$90%", "$90%" };
    QTest::newRow("twoPressesActAsOne") << true << 2 << QList<QByteArray> { "$90%", "$90%" };
    QTest::newRow("pressBeforeGreetingSkipsIt") << false << 1 << QList<QByteArray> { "$90%" };
}

void TestPolling::commsWhileConnectedClosesAtNextTick()
{
    QFETCH(bool, afterGreeting);
    QFETCH(int, presses);
    QFETCH(QList<QByteArray>, expectedCommands);

    choose(m_sim->portPath());
    const qint64 openedAt = nowMs();
    ui().btnConnectPort->click();
    if (afterGreeting)
        QTRY_COMPARE_WITH_TIMEOUT(sentCount(), 1, kTickWaitMs);

    const qint64 pressedAt = nowMs();
    for (int i = 0; i < presses; ++i)
        ui().btnConnectPort->click();
    QVERIFY(port().isOpen());
    verifyConnectedLook();

    QTRY_VERIFY_WITH_TIMEOUT(!port().isOpen(), kTickWaitMs);
    verifyDisconnectedLook();
    QCOMPARE(m_sim->commandBytes(), expectedCommands);
    const qint64 closedAt = m_sim->commands().constLast().receivedAtMs;
    QVERIFY2(
        closedAt - pressedAt <= kTickMs + kMarginMs, gapMessage(closedAt - pressedAt, kTickMs));
    if (!afterGreeting)
        COMPARE_GAP(closedAt - openedAt, kTickMs);
    QVERIFY(!MainWindowTestAccess::disconnectRequested(*m_window));
}

void TestPolling::choosingAnotherPortWhileConnectedTakesEffectOnReopen()
{
    m_otherSim = std::make_unique<CtlBoardSim>();
    QVERIFY(m_otherSim->start());
    connectAndAwaitGreeting();

    choose(m_otherSim->portPath());
    QCOMPARE(ui().btnConnectPort->styleSheet(), kStyleButtonRed);
    QVERIFY(port().isOpen());
    QTRY_COMPARE_WITH_TIMEOUT(sentCount(), 2, int(2 * kTickMs + 2000));
    QCOMPARE(m_sim->commandBytes().constLast(), QByteArray("$91%"));

    ui().btnConnectPort->click();
    QTRY_VERIFY_WITH_TIMEOUT(!port().isOpen(), kTickWaitMs);
    verifyDisconnectedLook();
    QCOMPARE(m_sim->commandBytes(), QList<QByteArray>({ "$90%", "$91%", "$90%" }));
    QCOMPARE(m_otherSim->commands().size(), 0);

    ui().btnConnectPort->click();
    QVERIFY(port().isOpen());
    verifyConnectedLook();
    QTRY_COMPARE_WITH_TIMEOUT(
        m_otherSim->commandBytes(), QList<QByteArray>({ "$90%" }), kTickWaitMs);
    QCOMPARE(sentCount(), 3);
}

void TestPolling::countdownPhaseCarriesOverToNextConnection_data()
{
    QTest::addColumn<int>("countdownAtClose");
    QTest::addColumn<int>("firstPollTick");

    QTest::newRow("closedRightAfterGreeting") << 1 << 3;
    QTest::newRow("closedBetweenTwoPolls") << 0 << 2;
}

void TestPolling::countdownPhaseCarriesOverToNextConnection()
{
    QFETCH(int, countdownAtClose);
    QFETCH(int, firstPollTick);

    connectAndAwaitGreeting();
    QTRY_COMPARE_WITH_TIMEOUT(
        MainWindowTestAccess::cycle(*m_window).countdown(), countdownAtClose, kTickWaitMs);
    ui().btnConnectPort->click();
    QTRY_VERIFY_WITH_TIMEOUT(!port().isOpen(), kTickWaitMs);
    QCOMPARE(m_sim->commandBytes(), QList<QByteArray>({ "$90%", "$90%" }));

    m_sim->clearCommands();
    ui().btnConnectPort->click();
    QTRY_COMPARE_WITH_TIMEOUT(sentCount(), 2, int(firstPollTick * kTickMs + 2000));
    QCOMPARE(m_sim->commandBytes(), QList<QByteArray>({ "$90%", "$91%" }));
    const QList<ReceivedCommand> sent = m_sim->commands();
    COMPARE_GAP(sent[1].receivedAtMs - sent[0].receivedAtMs, (firstPollTick - 1) * kTickMs);
}

void TestPolling::lostBoardWarnsOnceWithoutNestedExchanges_data()
{
    QTest::addColumn<bool>("lostDuringTick");

    QTest::newRow("duringStatusPoll") << true;
    // Here the box's modal loop is not inside a tick, so ticks do reach it.
    QTest::newRow("duringExchangeOutsideTick") << false;
}

void TestPolling::lostBoardWarnsOnceWithoutNestedExchanges()
{
    QFETCH(bool, lostDuringTick);

    connectAndAwaitGreeting();
    DebugCapture debug;
    // The board logs the next command, then drops the line without answering.
    m_sim->setHangUpAfterCommands(1);

    // Holds each box open across two ticks, as a technician who reads it would.
    QStringList boxes;
    bool boxOpen = false;
    QElapsedTimer openFor;
    int ticksWhileOpen = 0;
    int writesBeforeBox = 0;
    int writesWhileOpen = -1;
    QObject context;
    connect(&MainWindowTestAccess::mainPollingTimer(*m_window), &QTimer::timeout, &context,
        [&] { ticksWhileOpen += boxOpen ? 1 : 0; });
    QTimer watcher;
    connect(&watcher, &QTimer::timeout, &context, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        if (!boxOpen) {
            boxOpen = true;
            openFor.start();
            ticksWhileOpen = 0;
            writesBeforeBox = writesLogged(debug);
            boxes << box->windowTitle() + QLatin1Char('|') + box->text();
        }
        if (ticksWhileOpen >= 2 || openFor.elapsed() > 2 * kTickMs + kMarginMs) {
            writesWhileOpen = writesLogged(debug) - writesBeforeBox;
            boxOpen = false;
            box->button(QMessageBox::Ok)->click();
        }
    });
    watcher.start(20);

    if (!lostDuringTick)
        MainWindowTestAccess::exchange(*m_window, QStringLiteral("$91%"));
    QTRY_VERIFY_WITH_TIMEOUT(writesWhileOpen >= 0, int(6 * kTickMs + 2000));
    QCOMPARE(
        boxes, QStringList { QStringLiteral("RIZ_OVEDA|Error: Read timeout on command $91%") });
    QCOMPARE(writesWhileOpen, 0);

    // The lost device closes the link, without a second box.
    QTRY_VERIFY_WITH_TIMEOUT(!port().isOpen(), kTickWaitMs);
    verifyDisconnectedLook();
    QCOMPARE(boxes.size(), 1);
}

void TestPolling::reconnectingAfterLostBoardReadsAgain()
{
    connectAndAwaitGreeting();
    ModalBoxCatcher catcher;
    m_sim->setHangUpAfterCommands(1);
    QTRY_COMPARE_WITH_TIMEOUT(catcher.boxes().size(), 1, int(2 * kTickMs + 2000));
    QVERIFY(MainWindowTestAccess::link(*m_window).deviceWasLost());
    QTRY_VERIFY_WITH_TIMEOUT(!port().isOpen(), kTickWaitMs);

    // The replugged board comes back on a new device.
    QVERIFY(m_sim->start());
    m_sim->clearCommands();
    connectAndAwaitGreeting();
    QTRY_COMPARE_WITH_TIMEOUT(
        MainWindowTestAccess::link(*m_window).response(), QStringLiteral("$90OK#"), kTickWaitMs);
    QVERIFY(MainWindowTestAccess::exchange(*m_window, QStringLiteral("$220001%")) > 8);
    QVERIFY(MainWindowTestAccess::link(*m_window).response().startsWith(QLatin1String("$220001")));
    QVERIFY(MainWindowTestAccess::link(*m_window).response().endsWith(QLatin1Char('#')));
    QCOMPARE(catcher.boxes().size(), 1);
}

void TestPolling::hangUpBetweenTicksClosesTheLinkAtOnce()
{
    connectAndAwaitGreeting();
    // No tick comes to find the hang-up: the port itself has to tell.
    MainWindowTestAccess::mainPollingTimer(*m_window).stop();
    ModalBoxCatcher catcher;
    catcher.holdOpenFor(1000);
    const double cpuBefore = threadCpuSeconds();
    QElapsedTimer timer;
    timer.start();
    m_sim->setHangUpAfterCommands(0);

    QTRY_COMPARE_WITH_TIMEOUT(catcher.boxes().size(), 1, 5000);
    QTRY_VERIFY(!QApplication::activeModalWidget());
    const double cpuUsed = threadCpuSeconds() - cpuBefore;
    QCOMPARE(catcher.texts(kMessageTitle),
        QStringList { QStringLiteral("Error: Read timeout on command $90%") });
    QVERIFY(MainWindowTestAccess::link(*m_window).deviceWasLost());
    QVERIFY(!port().isOpen());
    verifyDisconnectedLook();
    QVERIFY2(cpuUsed < 0.3 * double(timer.elapsed()) / 1000,
        qPrintable(QStringLiteral("%1 s of CPU in %2 ms").arg(cpuUsed).arg(timer.elapsed())));
}

void TestPolling::unansweredPollsCloseTheLink_data()
{
    QTest::addColumn<bool>("silent");
    QTest::addColumn<int>("silentEvery");

    QTest::newRow("silentBoardOrWrongPort") << true << 0;
    QTest::newRow("boardAnsweringEveryOtherPoll") << false << 2;
}

void TestPolling::unansweredPollsCloseTheLink()
{
    QFETCH(bool, silent);
    QFETCH(int, silentEvery);
    m_sim->setSilent(silent);
    m_sim->setSilentEvery(silentEvery);
    ModalBoxCatcher catcher;
    choose(m_sim->portPath());
    ui().btnConnectPort->click();
    const QString portName = port().portName();

    if (silent) {
        // The greeting and two status polls, each sitting out its response window.
        QTRY_COMPARE_WITH_TIMEOUT(catcher.boxes().size(), 1, 15000);
        QCOMPARE(catcher.texts(kMessageTitle),
            QStringList { QStringLiteral("The CTL PCB does not answer on %1. The port may be the "
                                         "wrong one: choose the port the board is connected to "
                                         "and press COMMS.")
                              .arg(portName) });
        QVERIFY(!port().isOpen());
        verifyDisconnectedLook();
        QCOMPARE(m_sim->commandBytes(), QList<QByteArray>({ "$90%", "$91%", "$91%" }));
    } else {
        // Six exchanges: a count that a complete answer failed to reset would reach three.
        QTRY_COMPARE_WITH_TIMEOUT(sentCount(), 6, 20000);
        QCOMPARE(catcher.boxes().size(), 0);
        QVERIFY(port().isOpen());
        verifyConnectedLook();
    }
}

void TestPolling::closingWindowWhileConnectedClosesPortSilently()
{
    connectAndAwaitGreeting();
    const QString path = m_sim->portPath();

    m_window.reset();

    QSerialPort probe;
    probe.setPortName(path);
    QVERIFY2(probe.open(QIODevice::ReadWrite), qPrintable(probe.errorString()));
    probe.close();
    QVERIFY(!m_sim->waitForCommandCount(2, int(kMarginMs)));
}

QTEST_MAIN(TestPolling)
#include "tst_polling.moc"
