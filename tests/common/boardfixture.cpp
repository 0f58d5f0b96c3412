// The board-and-link fixture the suites share, and the files they keep in its folder.
#include "boardfixture.h"

#include "nvram/nvrformat.h"

#include <QFile>

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return "<cannot open " + QFile::encodeName(path) + '>';
    return file.readAll();
}

void writeTestFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

QByteArray expectedNvrFile(const QList<BoardParameter> &table, int pageCount)
{
    // The format itself is pinned by the golden files; here it only has to match them.
    QString text = NvrHeaderLine() + QLatin1Char('\n');
    for (int page = 0; page < pageCount; ++page) {
        text += NvrDataLine(
                    PageNumberToHex(page, 4), table.at(page).value, table.at(page).description)
            + QLatin1Char('\n');
    }
    return text.toUtf8();
}

bool BoardFixture::makeFixture(int parts)
{
    const auto fail = [this](const QString &why) {
        m_fixtureError = why;
        return false;
    };
    if (parts & Folder) {
        m_dir = std::make_unique<QTemporaryDir>();
        if (!m_dir->isValid())
            return fail(QStringLiteral("no temporary folder: ") + m_dir->errorString());
    }
    if (parts & Board) {
        m_sim = std::make_unique<CtlBoardSim>();
        if (!m_sim->start())
            return fail(QStringLiteral("no simulated board: ") + m_sim->errorString());
    }
    if ((parts & Link) == Link) {
        m_link = std::make_unique<SerialLink>(kTestTimings);
        if (!openLink(*m_link, m_sim->portPath()))
            return fail(QStringLiteral("no link to the board: ") + m_link->port().errorString());
    }
    if (parts & Debug)
        m_debug = std::make_unique<DebugCapture>();
    return true;
}

void BoardFixture::dropFixture()
{
    m_debug.reset();
    m_link.reset();
    m_sim.reset();
    m_dir.reset();
}

void BoardFixture::setBoard(const QList<BoardParameter> &table)
{
    m_sim->setParameters(table);
    m_sim->clearCommands();
}

QString BoardFixture::writeFile(const QString &name, const QByteArray &bytes)
{
    const QString path = m_dir->filePath(name);
    writeTestFile(path, bytes);
    return path;
}
