// riz-nvr ports, run as the technician runs it, with the simulated board behind a ttyS node.
#include "boardsim.h"
#include "link/portholder.h"
#include "linksupport.h"
#include "ports.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSerialPortInfo>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

dev_t deviceNumber(const QString &path)
{
    struct stat info = {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_rdev : 0;
}

QString systemError() { return QString::fromLocal8Bit(std::strerror(errno)); }

} // namespace

class TestNvrPorts : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void listsTheBoardsPortAndItsHolder_data();
    void listsTheBoardsPortAndItsHolder();
    void controlsFromTheSystemAreEscaped();

private:
    CtlBoardSim m_sim;
    QSerialPortInfo m_port; // a ttyS port, with the board's pseudo-terminal bound over its node
    QString m_cannotBind; // why not, when it cannot be
};

// The system lists real devices only. The board's pseudo-terminal is bound over the node of a
// ttyS port that no program holds, in a mount namespace of this process's own: the node stays
// as it was for every other process, and the mounts end with this one.
void TestNvrPorts::initTestCase()
{
    if (::geteuid() != 0) {
        m_cannotBind = QStringLiteral("binding a pseudo-terminal over a ttyS node needs root");
        return;
    }
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports) {
        if (port.portName().startsWith(QLatin1String("ttyS"))
            && !PortHolder(port.systemLocation())) {
            m_port = port;
            break;
        }
    }
    if (m_port.isNull()) {
        m_cannotBind = QStringLiteral("the system lists no ttyS port that no program holds");
        return;
    }
    // The children that riz-nvr and the holders run in are started from this thread, and
    // share its namespace; the holders' lock files stay there, away from those of the real
    // device.
    m_cannotBind = usePrivateLockFolder();
    if (!m_cannotBind.isEmpty())
        return;
    QVERIFY2(m_sim.start(), qPrintable(m_sim.errorString()));
    const QByteArray node = QFile::encodeName(m_port.systemLocation());
    QVERIFY2(::mount(QFile::encodeName(m_sim.portPath()).constData(), node.constData(), nullptr,
                 MS_BIND, nullptr)
            == 0,
        qPrintable(systemError()));
    QCOMPARE(deviceNumber(m_port.systemLocation()), deviceNumber(m_sim.portPath()));
    bool listed = false;
    for (const QSerialPortInfo &port : QSerialPortInfo::availablePorts())
        listed = listed || port.portName() == m_port.portName();
    if (!listed)
        m_cannotBind = QStringLiteral("the system no longer lists the port with a pseudo-terminal "
                                      "behind its node (it checks an 8250 UART by opening it)");
}

void TestNvrPorts::listsTheBoardsPortAndItsHolder_data()
{
    QTest::addColumn<QString>("holder");
    QTest::addColumn<bool>("json");

    QTest::newRow("free") << QString() << false;
    QTest::newRow("freeJson") << QString() << true;
    // Qt's lock file names the holder.
    QTest::newRow("heldWithLockFile") << "port-probe" << false;
    QTest::newRow("heldWithLockFileJson") << "port-probe" << true;
    // A program that takes no lock is found in /proc.
    QTest::newRow("heldWithoutLockFile") << "sleep" << false;
}

void TestNvrPorts::listsTheBoardsPortAndItsHolder()
{
    QFETCH(QString, holder);
    QFETCH(bool, json);
    if (!m_cannotBind.isEmpty())
        QSKIP(qPrintable(m_cannotBind));

    QProcess holding;
    if (holder == QLatin1String("port-probe")) {
        holding.start(
            QStringLiteral(PORT_PROBE), { QStringLiteral("hold"), m_port.systemLocation() });
        QVERIFY(holding.waitForReadyRead(10000));
        QCOMPARE(holding.readAll(), QByteArray("held\n"));
    } else if (holder == QLatin1String("sleep")) {
        holding.setStandardInputFile(m_port.systemLocation());
        holding.start(QStringLiteral("sleep"), { QStringLiteral("60") });
        QVERIFY(holding.waitForStarted(10000));
    }
    const qint64 pid = holding.processId();

    QProcess tool;
    tool.start(QStringLiteral(RIZ_NVR_EXE),
        json ? QStringList { QStringLiteral("ports"), QStringLiteral("--json") }
             : QStringList { QStringLiteral("ports") });
    QVERIFY(tool.waitForFinished(60000));
    holding.closeWriteChannel();
    holding.kill();
    holding.waitForFinished();
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.readAllStandardError(), QByteArray());
    QCOMPARE(tool.exitCode(), 0);
    const QByteArray out = tool.readAllStandardOutput();

    if (json) {
        QJsonParseError error;
        const QJsonArray ports = QJsonDocument::fromJson(out, &error).array();
        QCOMPARE(error.error, QJsonParseError::NoError);
        QJsonObject port;
        for (const QJsonValue &entry : ports) {
            if (entry[QStringLiteral("name")] == m_port.portName())
                port = entry.toObject();
        }
        QCOMPARE(port[QStringLiteral("description")].toString(), m_port.description());
        QCOMPARE(port[QStringLiteral("serialNumber")].toString(), m_port.serialNumber());
        const QJsonValue inUseBy = port[QStringLiteral("inUseBy")];
        if (holder.isEmpty()) {
            QVERIFY(inUseBy.isNull());
        } else {
            QCOMPARE(inUseBy[QStringLiteral("pid")].toInteger(), pid);
            QCOMPARE(inUseBy[QStringLiteral("program")].toString(), holder);
        }
        return;
    }
    QString line;
    for (const QString &entry : QString::fromUtf8(out).split(QLatin1Char('\n'))) {
        if (entry == m_port.portName() || entry.startsWith(m_port.portName() + QLatin1Char(':')))
            line = entry;
    }
    QVERIFY2(!line.isEmpty(), out.constData());
    if (holder.isEmpty())
        QVERIFY2(!line.contains(QLatin1String("in use")), qPrintable(line));
    else
        QVERIFY2(line.endsWith(QStringLiteral("in use by %1 (pid %2)").arg(holder).arg(pid)),
            qPrintable(line));
}

// A USB adapter names itself: its texts must not act on the terminal.
void TestNvrPorts::controlsFromTheSystemAreEscaped()
{
    const QList<PortListing> ports { { QStringLiteral("ttyUSB0"), QStringLiteral("Adapter\x1b[2J"),
        QStringLiteral("Maker\u009b1m"), QStringLiteral("A1\tB2"), QString(),
        PortHolderProcess { 7, QStringLiteral("odd\nname") } } };
    QCOMPARE(PortsText(ports),
        QByteArray("ttyUSB0: description Adapter\\x1b[2J, manufacturer Maker\\x9b1m, serial "
                   "number A1\\tB2, in use by odd\\nname (pid 7)\n"));
    const QByteArray json = PortsJson(ports);
    QVERIFY2(json.contains("Adapter\\u001b[2J") && json.contains("Maker\\u009b1m"), json);
    QCOMPARE(QJsonDocument::fromJson(json).array().first()[QStringLiteral("manufacturer")],
        QStringLiteral("Maker\u009b1m"));
}

QTEST_GUILESS_MAIN(TestNvrPorts)
#include "tst_nvrports.moc"
