// The single-instance guard, against the real executable.
#include "app/constants.h"
#include "app/qtsingleapplication.h"

#include <QFileInfo>
#include <QProcess>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kStartMs = 20000;

enum class Squat { LockFile, Symlink, RuntimeDir };

} // namespace

Q_DECLARE_METATYPE(Squat)

class TestSingleInstance : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void secondStartExitsAtOnceWithoutOutput();
    void killedInstanceDoesNotBlockNextStart();
    void simultaneousStartsLeaveExactlyOne();
    void stoppedInstanceStillBlocksStarts();
    void anotherUsersFilesDoNotBlock_data();
    void anotherUsersFilesDoNotBlock();

private:
    QProcessEnvironment environment() const;
    QProcess *start(const QProcessEnvironment &environment);
    QProcess *start() { return start(environment()); }
    static bool instanceRunning();

    QTemporaryDir m_runtimeDir;
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

// Looks at the lock without taking it, so a probe never turns a start away.
bool TestSingleInstance::instanceRunning()
{
    const int fd = ::open(QFile::encodeName(singleInstanceLockPath(kApplicationId)).constData(),
        O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct flock lock { };
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    const bool held = ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
    ::close(fd);
    return held;
}

QProcessEnvironment TestSingleInstance::environment() const
{
    // Without a runtime directory Qt itself complains on stderr.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtimeDir.path());
    return environment;
}

QProcess *TestSingleInstance::start(const QProcessEnvironment &environment)
{
    auto process = std::make_unique<QProcess>();
    process->setProgram(QStringLiteral(RIZ_OVEDA_EXE));
    process->setProcessEnvironment(environment);
    process->start();
    m_processes.push_back(std::move(process));
    return m_processes.back().get();
}

void TestSingleInstance::initTestCase()
{
    // The probe looks where the started tools look.
    QVERIFY(m_runtimeDir.isValid());
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtimeDir.path()));
}

void TestSingleInstance::cleanup()
{
    for (auto &process : m_processes) {
        process->kill();
        process->waitForFinished(5000);
    }
    m_processes.clear();
    QTRY_VERIFY_WITH_TIMEOUT(!instanceRunning(), 5000);
}

void TestSingleInstance::secondStartExitsAtOnceWithoutOutput()
{
    QProcess *first = start();
    QTRY_VERIFY_WITH_TIMEOUT(instanceRunning(), kStartMs);

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
    QTRY_VERIFY_WITH_TIMEOUT(instanceRunning(), kStartMs);
    first->kill();
    QVERIFY(first->waitForFinished(5000));

    QProcess *next = start();
    QTRY_VERIFY_WITH_TIMEOUT(instanceRunning(), kStartMs);
    QVERIFY(!next->waitForFinished(1000));
    QCOMPARE(next->state(), QProcess::Running);
}

void TestSingleInstance::simultaneousStartsLeaveExactlyOne()
{
    constexpr int kStarts = 4;
    for (int i = 0; i < kStarts; ++i)
        start();

    QTRY_VERIFY_WITH_TIMEOUT(instanceRunning(), kStartMs);
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

// An instance whose event loop does not run (a long transfer) still counts as running.
void TestSingleInstance::stoppedInstanceStillBlocksStarts()
{
    QProcess *holder = start();
    QTRY_VERIFY_WITH_TIMEOUT(instanceRunning(), kStartMs);
    const auto holderPid = pid_t(holder->processId());
    QCOMPARE(::kill(holderPid, SIGSTOP), 0);
    const auto resume = qScopeGuard([holderPid] { ::kill(holderPid, SIGCONT); });

    constexpr int kStarts = 60;
    constexpr int kBatch = 10;
    for (int started = 0; started < kStarts; started += kBatch) {
        std::vector<QProcess *> batch;
        for (int i = 0; i < kBatch; ++i)
            batch.push_back(start());
        for (QProcess *process : batch) {
            QVERIFY(process->waitForFinished(30000));
            QCOMPARE(process->exitStatus(), QProcess::NormalExit);
            QCOMPARE(process->exitCode(), 0);
        }
    }
    QCOMPARE(holder->state(), QProcess::Running);
}

void TestSingleInstance::anotherUsersFilesDoNotBlock_data()
{
    QTest::addColumn<Squat>("squat");
    QTest::addColumn<bool>("guarded");

    // In a shared temporary directory the tool runs unguarded rather than trust such a file.
    QTest::newRow("lockFileHeldInTempDir") << Squat::LockFile << false;
    QTest::newRow("symlinkPlantedInTempDir") << Squat::Symlink << false;
    // sudo may pass on the invoking user's runtime directory: the tool keeps to its own.
    QTest::newRow("runtimeDirOfAnotherUser") << Squat::RuntimeDir << true;
}

// A process of another uid prepares a trap for this user's start: the tool must still start,
// and must not write through a planted link.
void TestSingleInstance::anotherUsersFilesDoNotBlock()
{
    QFETCH(Squat, squat);
    QFETCH(bool, guarded);
    if (::getuid() != 0)
        QSKIP("needs root to act as another user");

    QTemporaryDir shared;
    QVERIFY(shared.isValid());
    QVERIFY(::chmod(QFile::encodeName(shared.path()).constData(), 01777) == 0);
    const QString lockName = QFileInfo(singleInstanceLockPath(kApplicationId)).fileName();
    const QString foreignRuntimeDir = shared.path() + QStringLiteral("/run");
    const QString victim = shared.path() + QStringLiteral("/victim");

    QProcessEnvironment toolEnvironment = environment();
    QString lockPath = shared.path() + QLatin1Char('/') + lockName;
    if (squat == Squat::RuntimeDir) {
        lockPath = foreignRuntimeDir + QLatin1Char('/') + lockName;
        toolEnvironment.insert(QStringLiteral("XDG_RUNTIME_DIR"), foreignRuntimeDir);
        toolEnvironment.insert(QStringLiteral("TMPDIR"), m_runtimeDir.path());
    } else {
        toolEnvironment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
        toolEnvironment.insert(QStringLiteral("TMPDIR"), shared.path());
    }

    // The child uses plain system calls only: everything it needs is made before the fork.
    const QByteArray lock = QFile::encodeName(lockPath);
    const QByteArray runtime = QFile::encodeName(foreignRuntimeDir);
    const QByteArray target = QFile::encodeName(victim);
    int ready[2];
    QVERIFY(::pipe(ready) == 0);
    const pid_t squatter = ::fork();
    QVERIFY(squatter >= 0);
    if (squatter == 0) {
        ::close(ready[0]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(1);
        if (squat == Squat::Symlink) {
            if (::symlink(target.constData(), lock.constData()) != 0)
                ::_exit(1);
        } else {
            if (squat == Squat::RuntimeDir && ::mkdir(runtime.constData(), 0700) != 0)
                ::_exit(1);
            const int fd = ::open(lock.constData(), O_RDWR | O_CREAT, 0666);
            struct flock held { };
            held.l_type = F_WRLCK;
            held.l_whence = SEEK_SET;
            if (fd < 0 || ::fcntl(fd, F_OFD_SETLK, &held) != 0 || ::flock(fd, LOCK_EX) != 0)
                ::_exit(1);
        }
        const char ok = 1;
        (void)::write(ready[1], &ok, 1);
        for (;;)
            ::pause();
    }
    ::close(ready[1]);
    char ok = 0;
    const bool prepared = ::read(ready[0], &ok, 1) == 1;
    ::close(ready[0]);
    const auto stopSquatter = qScopeGuard([squatter] {
        ::kill(squatter, SIGKILL);
        ::waitpid(squatter, nullptr, 0);
    });
    QVERIFY(prepared);

    QProcess *tool = start(toolEnvironment);
    QVERIFY(tool->waitForStarted(5000));
    if (guarded)
        QTRY_VERIFY_WITH_TIMEOUT(instanceRunning(), kStartMs);
    QVERIFY(!tool->waitForFinished(1000));
    QCOMPARE(tool->state(), QProcess::Running);
    QVERIFY(!QFileInfo::exists(victim));
}

QTEST_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
