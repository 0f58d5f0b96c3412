// What both simulated-board front ends share: their command-line options and the replug.
#include "boardoptions.h"

#include "boardprotocol.h"
#include "boardsim.h"

#include "link/frame.h"
#include "nvram/nvrformat.h"

#include <QHash>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <limits>

namespace {

constexpr int kOverlongAnswerBytes = 240;
constexpr int kHangUpWatchMs = 200;

QString option(const QCommandLineOption &option)
{
    return QStringLiteral("--") + option.names().constFirst();
}

// A whole number from min up to max, or an error message.
QString readNumber(const QCommandLineParser &parser, const QCommandLineOption &numberOption,
    int min, int &number, int max = std::numeric_limits<int>::max())
{
    bool ok = false;
    const QString text = parser.value(numberOption);
    number = text.toInt(&ok);
    if (ok && number >= min && number <= max)
        return {};
    return QStringLiteral("%1 needs a whole number of %2 or more, not \"%3\"")
        .arg(option(numberOption))
        .arg(min)
        .arg(text);
}

bool isHexDigit(QChar c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F') || (c >= u'a' && c <= u'f');
}

bool isHexText(const QString &text)
{
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), isHexDigit);
}

// The command the service tool sends for a page's value, from a hexadecimal page text.
QByteArray valueQuestion(const QString &pageText)
{
    if (!isHexText(pageText) || pageText.size() > 8)
        return {};
    const qint64 page = pageText.toLongLong(nullptr, 16);
    if (page > std::numeric_limits<int>::max())
        return {};
    return ValueQuestion(int(page)).toLatin1();
}

// No longer than the question, so the tool does not take it.
QByteArray shortValueAnswer(const QByteArray &answer)
{
    return answer.left(kAnswerPrefixLength) + kAnswerEnd;
}

QByteArray overlongValueAnswer(const QByteArray &answer)
{
    QByteArray text = answer.chopped(1);
    for (int digit = 0; text.size() < kOverlongAnswerBytes - 1; ++digit)
        text += char('0' + digit % 10);
    return text + kAnswerEnd;
}

QByteArray lineBreakValueAnswer(const QByteArray &answer)
{
    const qsizetype middle = kAnswerPrefixLength + (answer.size() - kAnswerPrefixLength - 1) / 2;
    return answer.left(middle) + '\n' + answer.mid(middle);
}

} // namespace

BoardTableOptions::BoardTableOptions()
    : pages(QStringLiteral("pages"),
        QStringLiteral("Generate a parameter table whose last page is <N> (default 40)."),
        QStringLiteral("N"), QStringLiteral("40"))
    , load(QStringLiteral("load"), QStringLiteral("Take the parameter table from an .nvr file."),
          QStringLiteral("file"))
    , saveOnEnd(QStringLiteral("save-on-end"),
          QStringLiteral("Save the table to an .nvr file at the end of every write transfer."),
          QStringLiteral("file"))
{
}

QString BoardTableOptions::apply(CtlBoardSim &sim, const QCommandLineParser &parser) const
{
    if (parser.isSet(load)) {
        if (parser.isSet(pages))
            return QStringLiteral("--pages and --load exclude each other");
        if (!sim.loadNvr(parser.value(load)))
            return sim.errorString();
    } else {
        bool ok = false;
        const int lastPage = parser.value(pages).toInt(&ok);
        if (!ok || lastPage < 0)
            return QStringLiteral("--pages needs a number of 0 or more");
        sim.generateParameters(lastPage);
    }
    sim.setSaveOnEndOfWrite(parser.value(saveOnEnd));
    return {};
}

BoardFaultOptions::BoardFaultOptions()
    : latency(QStringLiteral("latency"), QStringLiteral("Board waits <ms> before each answer."),
        QStringLiteral("ms"), QStringLiteral("0"))
    , pace(QStringLiteral("pace"),
          QStringLiteral("Board sends its answers at the pace of a %1 baud line.").arg(kBaudRate))
    , trickle(QStringLiteral("trickle"),
          QStringLiteral("Board sends its answers one byte every <ms>."), QStringLiteral("ms"))
    , silent(QStringLiteral("silent"), QStringLiteral("Board receives commands but never answers."))
    , silentAfter(QStringLiteral("silent-after"),
          QStringLiteral("Board answers <n> commands, then falls silent."), QStringLiteral("n"))
    , silentEvery(QStringLiteral("silent-every"),
          QStringLiteral("Board leaves every <n>-th command unanswered."), QStringLiteral("n"))
    , stallAfter(QStringLiteral("stall-after"),
          QStringLiteral("Board stops each answer after its first <bytes> bytes."),
          QStringLiteral("bytes"))
    , shortAnswer(QStringLiteral("short-answer"),
          QStringLiteral("Board answers the request for the value of <page> (hex, e.g. 0003) "
                         "without the value, too short to be taken. Repeatable."),
          QStringLiteral("page"))
    , overlongAnswer(QStringLiteral("overlong-answer"),
          QStringLiteral("Board answers the request for the value of <page> with more than 200 "
                         "characters. Repeatable."),
          QStringLiteral("page"))
    , lineBreak(QStringLiteral("line-break"),
          QStringLiteral("Board puts a line break into the value of <page> when asked for it. "
                         "Repeatable."),
          QStringLiteral("page"))
    , junk(QStringLiteral("junk"),
          QStringLiteral("Board sends <text> before every answer (\\r, \\n, \\t, \\\\ and \\xNN "
                         "allowed)."),
          QStringLiteral("text"))
    , trailing(QStringLiteral("trailing"),
          QStringLiteral("Board sends <text> after the \"#\" of every answer (escapes as for "
                         "--junk)."),
          QStringLiteral("text"))
    , hangUpAfter(QStringLiteral("hang-up-after"),
          QStringLiteral("Board answers <n> commands, then drops the line at the next, as if the "
                         "cable were pulled."),
          QStringLiteral("n"))
{
}

QList<QCommandLineOption> BoardFaultOptions::all() const
{
    return { latency, pace, trickle, silent, silentAfter, silentEvery, stallAfter, shortAnswer,
        overlongAnswer, lineBreak, junk, trailing, hangUpAfter };
}

QString BoardFaultOptions::apply(CtlBoardSim &sim, const QCommandLineParser &parser) const
{
    int number = 0;
    QString error = readNumber(parser, latency, 0, number);
    if (!error.isEmpty())
        return error;
    sim.setLatencyMs(number);
    sim.setLinePacing(parser.isSet(pace));
    sim.setSilent(parser.isSet(silent));

    const struct {
        const QCommandLineOption &option;
        int min;
        int max;
        std::function<void(int)> set;
    } numbers[] = {
        { trickle, 1, std::numeric_limits<int>::max(), [&](int n) { sim.setTrickleMs(n); } },
        { silentAfter, 0, std::numeric_limits<int>::max(),
            [&](int n) { sim.setSilentAfterCommands(n); } },
        { silentEvery, 1, std::numeric_limits<int>::max(), [&](int n) { sim.setSilentEvery(n); } },
        { stallAfter, 0, std::numeric_limits<int>::max(),
            [&](int n) { sim.setStallAfterBytes(n); } },
        // The hang-up comes with the command after the n answered ones.
        { hangUpAfter, 0, std::numeric_limits<int>::max() - 1,
            [&](int n) { sim.setHangUpAfterCommands(n + 1); } },
    };
    for (const auto &entry : numbers) {
        if (!parser.isSet(entry.option))
            continue;
        error = readNumber(parser, entry.option, entry.min, number, entry.max);
        if (!error.isEmpty())
            return error;
        entry.set(number);
    }

    const struct {
        const QCommandLineOption &option;
        void (CtlBoardSim::*set)(const QByteArray &);
    } texts[] = { { junk, &CtlBoardSim::setJunkBeforeAnswer },
        { trailing, &CtlBoardSim::setTrailingBytes } };
    for (const auto &entry : texts) {
        QByteArray bytes;
        if (!bytesFromEscapedText(parser.value(entry.option), bytes))
            return QStringLiteral("%1 takes Latin-1 text and the escapes \\r, \\n, \\t, \\\\ and "
                                  "\\xNN")
                .arg(option(entry.option));
        (sim.*entry.set)(bytes);
    }

    // Built from the table now: a later write to such a page does not change its fault answer.
    const struct {
        const QCommandLineOption &option;
        QByteArray (*shape)(const QByteArray &);
    } pageAnswers[] = { { shortAnswer, shortValueAnswer }, { overlongAnswer, overlongValueAnswer },
        { lineBreak, lineBreakValueAnswer } };
    QList<BoardParameter> table = sim.parameters();
    QHash<QByteArray, QString> faultyPages;
    for (const auto &entry : pageAnswers) {
        for (const QString &pageText : parser.values(entry.option)) {
            const QByteArray question = valueQuestion(pageText);
            if (question.isEmpty())
                return QStringLiteral(
                    "%1 needs a page number in hexadecimal, e.g. 0003, not \"%2\"")
                    .arg(option(entry.option), pageText);
            if (faultyPages.contains(question))
                return QStringLiteral("%1 and %2 both change the answer for page %3")
                    .arg(faultyPages.value(question), option(entry.option), pageText);
            faultyPages.insert(question, option(entry.option));
            sim.setAnswerOverride(
                question, entry.shape(answerBoardCommand(question, table, QString())));
        }
    }
    return {};
}

bool bytesFromEscapedText(const QString &text, QByteArray &bytes)
{
    bytes.clear();
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.unicode() > 0xFF)
            return false;
        if (c != u'\\') {
            bytes.append(char(c.unicode()));
            continue;
        }
        const QChar next = i + 1 < text.size() ? text.at(++i) : QChar();
        if (next == u'r') {
            bytes.append('\r');
        } else if (next == u'n') {
            bytes.append('\n');
        } else if (next == u't') {
            bytes.append('\t');
        } else if (next == u'\\') {
            bytes.append('\\');
        } else if (next == u'x') {
            const QString digits = text.mid(i + 1, 2);
            if (digits.size() != 2 || !isHexText(digits))
                return false;
            bytes.append(char(digits.toUInt(nullptr, 16)));
            i += 2;
        } else {
            return false;
        }
    }
    return true;
}

void plugBackInAfterHangUp(CtlBoardSim &sim, QObject *context, const QString &linkPath, int delayMs,
    const std::function<void(const QString &)> &report)
{
    auto *watch = new QTimer(context);
    QObject::connect(watch, &QTimer::timeout, context, [=, &sim] {
        if (!sim.isHungUp())
            return;
        watch->stop();
        report(QStringLiteral("line dropped, as if the cable were pulled; plugging it back in "
                              "after %1 ms")
                   .arg(delayMs));
        QTimer::singleShot(delayMs, context, [=, &sim] {
            if (!sim.start()) {
                report(QStringLiteral("cannot plug back in: %1").arg(sim.errorString()));
                return;
            }
            if (!linkPath.isEmpty() && !placeBoardLink(linkPath, sim.portPath()))
                report(QStringLiteral("cannot point %1 at the new pty").arg(linkPath));
            report(QStringLiteral("plugged back in, serving %1").arg(sim.portPath()));
            watch->start();
        });
    });
    watch->start(kHangUpWatchMs);
}
