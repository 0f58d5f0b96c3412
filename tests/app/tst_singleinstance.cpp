// The single-instance guard, against the real executable.
#include "app/constants.h"
#include "app/qtsingleapplication.h"

#include <QElapsedTimer>
#include <QLocalSocket>
#include <QProcess>
#include <QtTest>

#include <csignal>
#include <memory>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

class TestSingleInstance : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void secondStartExitsAtOnceWithoutOutput();
    void killedInstanceDoesNotBlockNextStart();
    void simultaneousStartsLeaveExactlyOne();
    void nameHeldByAnotherUserDoesNotBlock();

private:
    QProcess *start();
    static bool instanceListening();
    static bool waitUntilListening(int timeoutMs);

    QTemporaryDir m_runtimeDir;
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

bool TestSingleInstance::instanceListening()
{
    QLocalSocket socket;
    socket.setSocketOptions(QLocalSocket::AbstractNamespaceOption);
    socket.connectToServer(singleInstanceServerName(kApplicationId));
    return socket.waitForConnected(200);
}

bool TestSingleInstance::waitUntilListening(int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!instanceListening()) {
        if (timer.hasExpired(timeoutMs))
            return false;
        QTest::qWait(50);
    }
    return true;
}

QProcess *TestSingleInstance::start()
{
    auto process = std::make_unique<QProcess>();
    process->setProgram(QStringLiteral(RIZ_OVEDA_EXE));
    // Without a runtime directory Qt itself complains on stderr.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtimeDir.path());
    process->setProcessEnvironment(environment);
    process->start();
    m_processes.push_back(std::move(process));
    return m_processes.back().get();
}

void TestSingleInstance::initTestCase()
{
    if (instanceListening())
        QSKIP("an instance of the tool already runs for this user");
}

void TestSingleInstance::cleanup()
{
    for (auto &process : m_processes) {
        process->kill();
        process->waitForFinished(5000);
    }
    m_processes.clear();
    QTRY_VERIFY_WITH_TIMEOUT(!instanceListening(), 5000);
}

void TestSingleInstance::secondStartExitsAtOnceWithoutOutput()
{
    QProcess *first = start();
    QVERIFY(waitUntilListening(20000));

    QProcess *second = start();
    QVERIFY(second->waitForFinished(15000));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 0);
    QCOMPARE(second->readAllStandardOutput(), QByteArray());
    QCOMPARE(second->readAllStandardError(), QByteArray());
    QCOMPARE(first->state(), QProcess::Running);
}

void TestSingleInstance::killedInstanceDoesNotBlockNextStart()
{
    QProcess *first = start();
    QVERIFY(waitUntilListening(20000));
    first->kill();
    QVERIFY(first->waitForFinished(5000));

    QProcess *next = start();
    QVERIFY(waitUntilListening(20000));
    QVERIFY(!next->waitForFinished(1000));
    QCOMPARE(next->state(), QProcess::Running);
}

void TestSingleInstance::simultaneousStartsLeaveExactlyOne()
{
    constexpr int kStarts = 4;
    for (int i = 0; i < kStarts; ++i)
        start();

    QVERIFY(waitUntilListening(20000));
    QTRY_COMPARE_WITH_TIMEOUT(std::count_if(m_processes.begin(), m_processes.end(),
                                  [](const auto &p) { return p->state() == QProcess::NotRunning; }),
        long(kStarts - 1), 30000);
    for (const auto &process : m_processes) {
        if (process->state() == QProcess::NotRunning) {
            QCOMPARE(process->exitStatus(), QProcess::NormalExit);
            QCOMPARE(process->exitCode(), 0);
        }
    }
}

// A process of another uid squats on this user's name: the tool must still start.
void TestSingleInstance::nameHeldByAnotherUserDoesNotBlock()
{
    if (::getuid() != 0)
        QSKIP("needs root to listen as another user");

    const QByteArray name = singleInstanceServerName(kApplicationId).toUtf8();
    int ready[2];
    QVERIFY(::pipe(ready) == 0);
    const pid_t squatter = ::fork();
    QVERIFY(squatter >= 0);
    if (squatter == 0) {
        ::close(ready[0]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(1);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        ::memcpy(address.sun_path + 1, name.constData(), size_t(name.size()));
        const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size_t(name.size()));
        if (::bind(fd, reinterpret_cast<sockaddr *>(&address), length) != 0 || ::listen(fd, 8) != 0)
            ::_exit(1);
        const char ok = 1;
        (void)::write(ready[1], &ok, 1);
        for (;;)
            ::pause();
    }
    ::close(ready[1]);
    char ok = 0;
    const bool listening = ::read(ready[0], &ok, 1) == 1;
    ::close(ready[0]);
    const auto stopSquatter = qScopeGuard([squatter] {
        ::kill(squatter, SIGKILL);
        ::waitpid(squatter, nullptr, 0);
    });
    QVERIFY(listening);

    QProcess *tool = start();
    QVERIFY(tool->waitForStarted(5000));
    QVERIFY(!tool->waitForFinished(3000));
    QCOMPARE(tool->state(), QProcess::Running);
}

QTEST_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
