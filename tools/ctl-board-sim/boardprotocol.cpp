// How the simulated board answers one command and what the command does to its table.
#include "boardprotocol.h"

#include "boardtable.h"

#include "link/frame.h"
#include "nvram/nvrformat.h"

#include <QLoggingCategory>

// Off unless enabled by a logging rule, so the tests' own message capture stays undisturbed.
Q_LOGGING_CATEGORY(lcBoardSim, "ctl.boardsim", QtWarningMsg)

namespace {

bool isHexBytes(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return false;
    for (const char c : bytes) {
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

QByteArray reply(const QByteArray &code, const QByteArray &body)
{
    return kCommandStart + code + body + kAnswerEnd;
}

QByteArray pageQuestionAnswer(
    const QByteArray &code, const QByteArray &pageText, const QList<BoardParameter> &table)
{
    if (!isHexBytes(pageText) || pageText.size() > 8)
        return reply(code, "ER");
    const qint64 page = pageText.toLongLong(nullptr, 16);
    QString text;
    if (page < table.size())
        text = code == "22" ? table[page].value : table[page].description;
    // The program drops exactly kAnswerPrefixLength characters in front of the data, so pages
    // past FFFF are echoed with their low four digits, as a 16-bit board would.
    return reply(code, boardPageText(page & 0xFFFF).toLatin1() + text.toLatin1());
}

QByteArray pageWriteAnswer(
    const QByteArray &code, const QByteArray &args, QList<BoardParameter> &table)
{
    const QByteArray pageText = args.left(kPageTextWidth);
    if (pageText.size() < kPageTextWidth || !isHexBytes(pageText))
        return reply(code, "ER");
    const qint64 page = pageText.toLongLong(nullptr, 16);
    if (table.size() <= page)
        table.resize(page + 1);
    const QString text = QString::fromLatin1(args.mid(kPageTextWidth));
    if (code == "20")
        table[page].value = text;
    else
        table[page].description = text;
    return reply(code, "OK");
}

} // namespace

QByteArray answerBoardCommand(
    const QByteArray &frame, QList<BoardParameter> &table, const QString &saveOnEndPath)
{
    const QByteArray code = frame.mid(1, qMin<qsizetype>(2, frame.size() - 2));
    const QByteArray args = frame.size() > 4 ? frame.mid(3, frame.size() - 4) : QByteArray();

    if ((code == "90" || code == "91") && args.isEmpty())
        return reply(code, "OK");
    if (code == "24" && args.isEmpty()) {
        QString error;
        const bool saved = saveOnEndPath.isEmpty() || writeNvrTable(saveOnEndPath, table, error);
        return reply(code, saved ? "OK" : "ER");
    }
    if (code == "22" || code == "23")
        return pageQuestionAnswer(code, args, table);
    if (code == "20" || code == "21")
        return pageWriteAnswer(code, args, table);
    qCDebug(lcBoardSim) << "unknown command" << frame;
    return reply(code, "ER");
}
