// The ".nvr" parameter file format and the NVRAM commands built from it.
#include "nvrformat.h"

#include "link/frame.h"
#include "nvram/transfermessages.h"

#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QStringBuilder>

#include <limits>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const QString kNvramDirectory = QStringLiteral(RIZ_NVRAM_DIRECTORY);
const QString kNvramExtension = QStringLiteral(".nvr");
const QString kFieldSeparator = QStringLiteral(" | ");

QString PageNumberToHex(int number, int width)
{
    return QString::number(number, 16).rightJustified(width, QLatin1Char('0')).toUpper();
}

// Digit by digit, without building the text to compare with: check and diff ask this for every
// line of a file. PageNumberToHex makes four digits, or more with no "0" in front.
bool PageTextToNumber(const QString &pageText, int *number)
{
    if (pageText.size() < 4 || (pageText.size() > 4 && pageText.front() == QLatin1Char('0')))
        return false;
    qint64 parsed = 0;
    for (const QChar c : pageText) {
        int digit = 0;
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
            digit = c.unicode() - '0';
        else if (c >= QLatin1Char('A') && c <= QLatin1Char('F'))
            digit = c.unicode() - 'A' + 10;
        else
            return false;
        parsed = parsed * 16 + digit;
        if (parsed > std::numeric_limits<int>::max())
            return false;
    }
    *number = int(parsed);
    return true;
}

// Only plain digits count: real boards send them, and Qt's number parsing would also take a
// sign or blanks around them, which no board sends for a page count.
bool LastPageFromValue(const QString &value, int *lastPage)
{
    if (value.isEmpty())
        return false;
    for (const QChar c : value) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    bool ok = false;
    const int parsed = value.toInt(&ok, 10);
    if (ok)
        *lastPage = parsed;
    return ok;
}

bool PageTextLess(const QString &a, const QString &b)
{
    int numberA = 0;
    int numberB = 0;
    const bool pageA = PageTextToNumber(a, &numberA);
    const bool pageB = PageTextToNumber(b, &numberB);
    if (pageA != pageB)
        return pageA;
    return pageA ? numberA < numberB : a < b;
}

QString NvrHeaderLine()
{
    return NvrDataLine(
        QStringLiteral("Page Number"), QStringLiteral("Value"), QStringLiteral("Description"));
}

QString NvrDataLine(const QString &pageText, const QString &value, const QString &description)
{
    return pageText + kFieldSeparator + value + kFieldSeparator + description;
}

QStringList SplitNvrFields(const QString &line)
{
    QStringList fields;
    for (const QStringView field : FirstNvrFields(line, std::numeric_limits<qsizetype>::max()))
        fields << field.toString();
    return fields;
}

// One pass from the left, with no folded copy of the line: a '|' with a blank on either side
// that no earlier separator took is the " | " that folding would have replaced.
QList<QStringView> FirstNvrFields(QStringView line, qsizetype count, bool *more)
{
    QList<QStringView> fields;
    qsizetype start = 0;
    while (fields.size() < count) {
        const qsizetype bar = line.indexOf(QLatin1Char(kFieldBar), start);
        if (bar < 0) {
            fields << line.mid(start);
            if (more)
                *more = false;
            return fields;
        }
        const bool spaced = bar > start && line.at(bar - 1) == QLatin1Char(' ')
            && bar + 1 < line.size() && line.at(bar + 1) == QLatin1Char(' ');
        fields << line.mid(start, bar - start - (spaced ? 1 : 0));
        start = bar + (spaced ? 2 : 1);
    }
    if (more)
        *more = true;
    return fields;
}

QString ValueQuestion(int page)
{
    return QStringLiteral("$22") + PageNumberToHex(page, kPageTextWidth) + QLatin1Char(kCommandEnd);
}

QString DescriptionQuestion(int page)
{
    return QStringLiteral("$23") + PageNumberToHex(page, kPageTextWidth) + QLatin1Char(kCommandEnd);
}

QString AnswerData(const QString &answer)
{
    QString data = answer;
    data.remove(QLatin1Char(kAnswerEnd));
    return data.mid(kAnswerPrefixLength);
}

bool FitsOnOneLine(const QString &data)
{
    return !data.contains(QLatin1Char('\r')) && !data.contains(QLatin1Char('\n'));
}

QString ValueWriteCommand(const QString &pageText, const QString &value)
{
    return QStringLiteral("$20") % pageText % value % QLatin1Char(kCommandEnd);
}

QString DescriptionWriteCommand(const QString &pageText, const QString &description)
{
    return QStringLiteral("$21") % pageText % description % QLatin1Char(kCommandEnd);
}

// A two-field line (only ever made by hand) has no description to write. A command that does
// not fit one frame would reach the board cut, without its '%', and corrupt the parameter; such
// a line is left out whole, so that value and description stay a pair.
QStringList ParameterWriteCommands(const NvrParameter &parameter)
{
    QStringList commands { ValueWriteCommand(parameter.pageText, parameter.value) };
    if (parameter.hasDescription)
        commands << DescriptionWriteCommand(parameter.pageText, parameter.description);
    for (const QString &command : std::as_const(commands)) {
        if (command.size() > kMaxCommandBytes)
            return {};
    }
    return commands;
}

namespace {

constexpr qint64 kReadChunkBytes = 64 * 1024;

} // namespace

NvrFileContents ReadNvrFile(const QString &path, FollowLinks links)
{
    // Opening a device can act on it (a serial port raises its control lines), so the type is
    // looked at before the open; the check on the open descriptor closes the gap in between.
    const QFileInfo info(path);
    if (links == FollowLinks::No && info.isSymLink())
        return { {}, NotFollowedLinkText() };
    if (info.exists() && !info.isFile())
        return { {}, NotRegularFileText(info.isDir()) };
    // Not blocking: a FIFO would block inside open() until something writes to it.
    const int fd = ::open(QFile::encodeName(path).constData(),
        O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (links == FollowLinks::No ? O_NOFOLLOW : 0));
    if (fd < 0)
        return { {},
            links == FollowLinks::No && errno == ELOOP ? NotFollowedLinkText()
                                                       : qt_error_string(errno) };
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return { {}, file.errorString() };
    }
    struct stat status { };
    if (::fstat(fd, &status) != 0)
        return { {}, qt_error_string(errno) };
    if (!S_ISREG(status.st_mode))
        return { {}, NotRegularFileText(S_ISDIR(status.st_mode)) };
    if (status.st_size > kMaxNvrFileBytes)
        return { {}, TooLargeFileText() };
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return { {}, qt_error_string(errno) };
    // Not readAll(): a file that grows while it is read must not take the memory with it. Nor
    // one read() of the limit, which sets the whole limit aside for a file of a few kilobytes.
    NvrFileContents contents;
    contents.bytes.reserve(status.st_size);
    while (contents.bytes.size() <= kMaxNvrFileBytes) {
        const QByteArray chunk = file.read(kReadChunkBytes);
        if (chunk.isEmpty())
            break;
        contents.bytes += chunk;
    }
    if (file.error() != QFileDevice::NoError)
        return { {}, file.errorString() };
    if (contents.bytes.size() > kMaxNvrFileBytes)
        return { {}, TooLargeFileText() };
    return contents;
}

NvrLineReader::NvrLineReader(QIODevice *device, SkippedLineHandler skipped)
    : m_stream(device)
    , m_skipped(std::move(skipped))
{
}

bool NvrLineReader::readLine()
{
    if (!m_stream.readLineInto(&m_line))
        return false;
    ++m_lineNumber;
    return true;
}

void NvrLineReader::skip()
{
    if (m_skipped)
        m_skipped(m_lineNumber, m_line);
}

bool NvrLineReader::next(NvrParameter &parameter)
{
    if (m_lineNumber == 0) {
        if (!readLine())
            return false;
        skip();
    }
    while (readLine()) {
        const QList<QStringView> fields = FirstNvrFields(m_line, 3);
        if (fields.size() < 2) {
            skip();
            continue;
        }
        parameter.pageText = fields.at(0).toString();
        parameter.value = fields.at(1).toString();
        parameter.hasDescription = fields.size() > 2;
        parameter.description = parameter.hasDescription ? fields.at(2).toString() : QString();
        parameter.lineNumber = m_lineNumber;
        return true;
    }
    return false;
}
