// The connection as the window shows it: the port list, COMMS and its colours, the fields, and
// the one box when a port cannot be opened or the link is lost.
#include "boardfixture.h"
#include "testsupport.h"

#include "ui/styles.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QScopeGuard>
#include <QtTest>

#include <fcntl.h>
#include <grp.h>
#include <memory>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kTickMs = kTestTimings.pollIntervalMs;
// Generous upper bound for waiting on something due within the next tick.
constexpr int kTickWaitMs = kTickMs + 2000;

const QString kNoFileName = QStringLiteral("------------------");

// A cause sentence with the port, the holder's process id and the lock file filled in.
QString expectedCause(QString text, const QString &port, qint64 pid, const QString &lockFile)
{
    return text.replace(QLatin1String("{port}"), port)
        .replace(QLatin1String("{pid}"), QString::number(pid))
        .replace(QLatin1String("{lock}"), lockFile);
}

enum class LinkFault { LostDuringExchange, LostDuringStatusPoll, HungUpBetweenTicks, Silent };

} // namespace

Q_DECLARE_METATYPE(LinkFault)

class TestConnection : public QObject, protected BoardFixture {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void choosingAnEntry_data();
    void choosingAnEntry();
    void portThatCannotOpenWarnsAndStaysDisconnected_data();
    void portThatCannotOpenWarnsAndStaysDisconnected();
    void choosingAnotherPortWhileConnectedTakesEffectOnReopen();
    void lostLinkShowsOneBoxAndDisconnects_data();
    void lostLinkShowsOneBoxAndDisconnects();
    void closingWindowWhileConnectedClosesPortSilently();

private:
    MainWindowUi &ui() { return MainWindowTestAccess::ui(*m_window); }
    QSerialPort &port() { return MainWindowTestAccess::serialPort(*m_window); }
    int sentCount() const { return int(m_sim->commands().size()); }
    void choose(const QString &entry);
    void connectAndAwaitGreeting();
    // The same, with the ticks in the test's hands: tick() is one timer tick, at once.
    void connectTicked();
    void tick(int count = 1);
    void verifyConnectedLook();
    void verifyDisconnectedLook();

    QString m_noPrivateLocks; // why lock files cannot be planted, when they cannot
    QTemporaryDir m_probeFolder; // one that every account may enter
    QString m_probeForAnyone;
    std::unique_ptr<CtlBoardSim> m_otherSim;
    std::unique_ptr<MainWindow> m_window;
};

void TestConnection::initTestCase()
{
    m_noPrivateLocks = usePrivateLockFolder();
    // The probe that opens as another account runs from here: the build tree may sit in a
    // folder that only its owner may enter.
    const QFile::Permissions anyone = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
        | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
    QVERIFY(m_probeFolder.isValid());
    QVERIFY(QFile::setPermissions(m_probeFolder.path(), anyone));
    m_probeForAnyone = m_probeFolder.filePath(QStringLiteral("port-probe"));
    QVERIFY(QFile::copy(QStringLiteral(PORT_PROBE), m_probeForAnyone));
    QVERIFY(QFile::setPermissions(m_probeForAnyone, anyone));
}

void TestConnection::init()
{
    QVERIFY2(makeFixture(Board | Folder), qPrintable(m_fixtureError));
    m_sim->generateParameters(4);
    m_window = std::make_unique<MainWindow>(nullptr, kTestTimings, m_dir->path());
    m_window->show();
}

void TestConnection::cleanup()
{
    m_window.reset();
    m_otherSim.reset();
    dropFixture();
}

void TestConnection::choose(const QString &entry)
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

void TestConnection::connectAndAwaitGreeting()
{
    choose(m_sim->portPath());
    ui().btnConnectPort->click();
    QVERIFY(port().isOpen());
    verifyConnectedLook();
    QCOMPARE(sentCount(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(sentCount(), 1, kTickWaitMs);
    QCOMPARE(m_sim->commandBytes().constFirst(), QByteArray("$90%"));
}

void TestConnection::connectTicked()
{
    choose(m_sim->portPath());
    ui().btnConnectPort->click();
    MainWindowTestAccess::mainPollingTimer(*m_window).stop();
    tick();
    QCOMPARE(m_sim->commandBytes(), QList<QByteArray>({ "$90%" }));
}

void TestConnection::tick(int count)
{
    for (int i = 0; i < count; ++i)
        MainWindowTestAccess::cycle(*m_window).MainPollingTimerElapsed();
}

void TestConnection::verifyConnectedLook()
{
    QCOMPARE(ui().btnConnectPort->styleSheet(), kStyleButtonGreen);
    QCOMPARE(ui().editFromCTLPCB->text(), QStringLiteral("CtlUpload"));
    QCOMPARE(ui().editToCTLPCB->text(), QStringLiteral("CtlDnLoad"));
    QVERIFY(ui().btnFromCTL_PCB->isEnabled());
    QVERIFY(ui().btnToCTL_PCB->isEnabled());
}

void TestConnection::verifyDisconnectedLook()
{
    QVERIFY(!ui().btnConnectPort->isHidden());
    QCOMPARE(ui().btnConnectPort->styleSheet(), kStyleButtonRed);
    QCOMPARE(ui().editFromCTLPCB->text(), kNoFileName);
    QCOMPARE(ui().editToCTLPCB->text(), kNoFileName);
    QVERIFY(!ui().btnFromCTL_PCB->isEnabled());
    QVERIFY(!ui().btnToCTL_PCB->isEnabled());
    QVERIFY(!MainWindowTestAccess::mainPollingTimer(*m_window).isActive());
}

void TestConnection::choosingAnEntry_data()
{
    QTest::addColumn<bool>("portChosenBefore");
    QTest::addColumn<bool>("chooseEmptyEntry");
    QTest::addColumn<bool>("commsShown");

    QTest::newRow("emptyEntryAtStartKeepsCommsHidden") << false << true << false;
    QTest::newRow("emptyEntryAfterPortKeepsThatPort") << true << true << true;
    QTest::newRow("portShowsRedCommsAndSendsNothing") << false << false << true;
}

void TestConnection::choosingAnEntry()
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
        QVERIFY(!MainWindowTestAccess::link(*m_window).portName().isEmpty());
    } else {
        QVERIFY(MainWindowTestAccess::link(*m_window).portName().isEmpty());
    }
    QVERIFY(!port().isOpen());
    QVERIFY(!MainWindowTestAccess::mainPollingTimer(*m_window).isActive());
    QCOMPARE(ui().editFromCTLPCB->text(), kNoFileName);
    QCOMPARE(sentCount(), 0);
}
void TestConnection::portThatCannotOpenWarnsAndStaysDisconnected_data()
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
    // Anyone may plant these in the lock folder; Qt would block on the first for ever and read
    // the second without end. Qt is not asked, so there is no error code.
    const QString planted = QStringLiteral(".\n{port} cannot be locked: {lock} is %1, not a lock "
                                           "file that a program makes. Remove it (sudo rm {lock}), "
                                           "then try again.");
    QTest::newRow("namedPipeAsLockFile") << "fifoLock" << planted.arg("a named pipe");
    QTest::newRow("linkToDevZeroAsLockFile") << "zeroLock" << planted.arg("a link");
    // A node without its device, as a removed PCI card leaves: opening the slave of a locked
    // pseudo-terminal gives EIO too.
    QTest::newRow("nodeWithoutDevice")
        << "lockedPty"
        << ", error code 6 Input/output error\n{port} is still there, but its device is not: the "
           "adapter or card may have been removed.";
}

void TestConnection::portThatCannotOpenWarnsAndStaysDisconnected()
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
    const bool plantLock = setUp == QLatin1String("fifoLock") || setUp == QLatin1String("zeroLock");
    if (plantLock && !m_noPrivateLocks.isEmpty())
        QSKIP(qPrintable(m_noPrivateLocks));
    int lockedPty = -1;
    const auto cleanUp = qScopeGuard([&] {
        if (plantLock)
            QFile::remove(lockFile);
        if (lockedPty >= 0)
            ::close(lockedPty);
    });
    if (setUp == QLatin1String("fifoLock")) {
        QVERIFY(::mkfifo(QFile::encodeName(lockFile).constData(), 0644) == 0);
    } else if (setUp == QLatin1String("zeroLock")) {
        QVERIFY(QFile::link(QStringLiteral("/dev/zero"), lockFile));
    } else if (setUp == QLatin1String("lockedPty")) {
        lockedPty = ::posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(lockedPty >= 0 && ::grantpt(lockedPty) == 0);
        path = QString::fromLocal8Bit(::ptsname(lockedPty));
        shownName = path.mid(QStringLiteral("/dev/").size());
    } else if (setUp == QLatin1String("missing")) {
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
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        // The leak checker of a sanitizer build would read its suppressions from the checkout.
        const QString sanitizer = environment.value(QStringLiteral("ASAN_OPTIONS"));
        environment.insert(QStringLiteral("ASAN_OPTIONS"),
            (sanitizer.isEmpty() ? QString() : sanitizer + QLatin1Char(':'))
                + QStringLiteral("detect_leaks=0"));
        probe.setProcessEnvironment(environment);
        probe.setWorkingDirectory(m_probeFolder.path());
        if (!root)
            QVERIFY(QFile::setPermissions(path, {}));
        probe.start(m_probeForAnyone, { QStringLiteral("open"), path });
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

void TestConnection::choosingAnotherPortWhileConnectedTakesEffectOnReopen()
{
    m_otherSim = std::make_unique<CtlBoardSim>();
    QVERIFY(m_otherSim->start());
    connectAndAwaitGreeting();
    verifyConnectedLook();

    choose(m_otherSim->portPath());
    QCOMPARE(ui().btnConnectPort->styleSheet(), kStyleButtonRed);
    QVERIFY(port().isOpen());
    QTRY_COMPARE_WITH_TIMEOUT(sentCount(), 2, 2 * kTickMs + 2000);
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

void TestConnection::lostLinkShowsOneBoxAndDisconnects_data()
{
    QTest::addColumn<LinkFault>("fault");
    QTest::addColumn<QList<QByteArray>>("commands");
    QTest::addColumn<QString>("text");

    // The box keeps its text, and says what the open-failure box says of a missing device.
    const QString readTimeout = QStringLiteral("Error: Read timeout on command %1\n{port} is gone: "
                                               "the adapter may have been unplugged.");
    QTest::newRow("lostDuringExchange")
        << LinkFault::LostDuringExchange << QList<QByteArray> { "$90%", "$90%" }
        << readTimeout.arg(QStringLiteral("$90%"));
    QTest::newRow("lostDuringStatusPoll")
        << LinkFault::LostDuringStatusPoll << QList<QByteArray> { "$90%", "$91%" }
        << readTimeout.arg(QStringLiteral("$91%"));
    // No tick comes to find the hang-up: the port itself has to tell.
    QTest::newRow("hungUpBetweenTicks")
        << LinkFault::HungUpBetweenTicks << QList<QByteArray> { "$90%" }
        << readTimeout.arg(QStringLiteral("$90%"));
    // The greeting and two status polls, each sitting out its response window.
    QTest::newRow("silentBoardOrWrongPort")
        << LinkFault::Silent << QList<QByteArray> { "$90%", "$91%", "$91%" }
        << QStringLiteral("The CTL PCB does not answer on {port}. The port may be the wrong one: "
                          "choose the port the board is connected to and press COMMS.");
}

void TestConnection::lostLinkShowsOneBoxAndDisconnects()
{
    QFETCH(LinkFault, fault);
    QFETCH(QList<QByteArray>, commands);
    QFETCH(QString, text);

    m_sim->setSilent(fault == LinkFault::Silent);
    connectTicked();
    const QString portName = port().portName();
    ModalBoxCatcher catcher;
    // Left open for two ticks' time, as a technician who reads it would.
    catcher.holdOpenFor(2 * kTickMs);
    const double cpuBefore = threadCpuSeconds();
    QElapsedTimer timer;
    timer.start();
    switch (fault) {
    case LinkFault::LostDuringExchange:
        m_sim->setHangUpAfterCommands(1, 4);
        MainWindowTestAccess::exchange(*m_window, QStringLiteral("$90%"));
        break;
    case LinkFault::LostDuringStatusPoll:
        m_sim->setHangUpAfterCommands(1);
        tick(2);
        break;
    case LinkFault::HungUpBetweenTicks:
        m_sim->setHangUpAfterCommands(0);
        break;
    case LinkFault::Silent:
        tick(4);
        break;
    }

    QTRY_COMPARE_WITH_TIMEOUT(catcher.boxes().size(), 1, 5000);
    QTRY_VERIFY(!QApplication::activeModalWidget());
    const double cpuUsed = threadCpuSeconds() - cpuBefore;
    const qint64 elapsed = timer.elapsed();
    QCOMPARE(catcher.texts(kMessageTitle),
        QStringList { QString(text).replace(QLatin1String("{port}"), portName) });
    QCOMPARE(MainWindowTestAccess::link(*m_window).deviceWasLost(), fault != LinkFault::Silent);
    QVERIFY(!port().isOpen());
    verifyDisconnectedLook();
    QCOMPARE(m_sim->commandBytes(), commands);
    // An event loop that keeps waking for a hung-up descriptor takes a whole core for as long
    // as the box is open.
    QVERIFY2(cpuUsed < 0.3 * double(elapsed) / 1000,
        qPrintable(QStringLiteral("%1 s of CPU in %2 ms").arg(cpuUsed).arg(elapsed)));
    QCOMPARE(catcher.boxes().size(), 1);
}

void TestConnection::closingWindowWhileConnectedClosesPortSilently()
{
    connectAndAwaitGreeting();
    const QString path = m_sim->portPath();

    m_window.reset();

    QSerialPort probe;
    probe.setPortName(path);
    QVERIFY2(probe.open(QIODevice::ReadWrite), qPrintable(probe.errorString()));
    probe.close();
    QVERIFY(!m_sim->waitForCommandCount(2, kTickMs));
}

QTEST_MAIN(TestConnection)
#include "tst_connection.moc"
