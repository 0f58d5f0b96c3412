// The ".nvr" parameter file format and the NVRAM commands built from it.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <QTextStream>

#include <functional>

class QIODevice;

// The folder that parameter files are saved into and chosen from; shared by the dialout group.
extern const QString kNvramDirectory;
extern const QString kNvramExtension; // ".nvr"
extern const QString kFieldSeparator; // " | " between the fields of a line
// Splits a line into fields wherever it stands: a file has no escape for it.
constexpr char kFieldBar = '|';

// A file above this size is refused as a parameter file: a board of 1000 pages makes about 44 KB.
constexpr qint64 kMaxNvrFileBytes = 64 * 1024 * 1024;

// Digits of a page text, in a file and in a command: "0003"; more only for pages beyond FFFF.
constexpr int kPageTextWidth = 4;

// Characters in front of the data in a "$22"/"$23" answer, once every '#' is removed: the code
// ("$22") and the page.
constexpr int kAnswerPrefixLength = 3 + kPageTextWidth;

// Page number as upper-case hexadecimal, "0"-padded on the left to at least width digits, never
// cut.
QString PageNumberToHex(int number, int width);

// The page number of a page text exactly as PageNumberToHex(number, kPageTextWidth) writes it;
// false otherwise.
bool PageTextToNumber(const QString &pageText, int *number);

// The number of the last page that page 0's value gives, as the read takes it: plain decimal
// digits, at most INT_MAX; false for anything else.
bool LastPageFromValue(const QString &value, int *lastPage);

// Page texts as the read writes them sort by number; any other text after them, by text.
bool PageTextLess(const QString &a, const QString &b);

// "Page Number | Value | Description", without line end.
QString NvrHeaderLine();

// pageText | value | description, without line end.
QString NvrDataLine(const QString &pageText, const QString &value, const QString &description);

// Folds every " | " to "|" (left to right, not overlapping), then splits at every '|',
// keeping empty fields. Nothing is trimmed.
QStringList SplitNvrFields(const QString &line);

// The first count fields of line as SplitNvrFields gives them, without splitting the rest; more
// tells whether the line has further fields. The fields are views into line.
QList<QStringView> FirstNvrFields(QStringView line, qsizetype count, bool *more = nullptr);

// "$22" + page text + "%" and "$23" + page text + "%".
QString ValueQuestion(int page);
QString DescriptionQuestion(int page);

// The data of a "$22"/"$23" answer: every '#' removed, then everything from index 7 on.
QString AnswerData(const QString &answer);

// Whether answer data can be kept on one line of a file: it holds neither '\r' nor '\n'.
bool FitsOnOneLine(const QString &data);

// "$20" + page + value + "%" and "$21" + page + description + "%".
QString ValueWriteCommand(const QString &pageText, const QString &value);
QString DescriptionWriteCommand(const QString &pageText, const QString &description);

// The whole of a parameter file, read before anything is made of it.
struct NvrFileContents {
    QByteArray bytes;
    QString error; // why the file cannot be read, in a technician's words; empty when it was
};

enum class FollowLinks { Yes, No };

// Reads a regular file of at most kMaxNvrFileBytes, or with FollowLinks::Yes a link to one.
// Devices, pipes and folders, and links with FollowLinks::No, are refused without being read.
NvrFileContents ReadNvrFile(const QString &path, FollowLinks links = FollowLinks::Yes);

struct NvrParameter {
    QString pageText;
    QString value;
    QString description;
    bool hasDescription = false; // false for a hand-edited line of exactly two fields
    int lineNumber = 0; // the first line of the file is 1
};

// The commands the write sends for one parameter line: the value write, then the description
// write when the line has a description. Empty when either does not fit one command.
QStringList ParameterWriteCommands(const NvrParameter &parameter);

// Walks the parameter lines of a file as the write transfer sends them: the first line is
// dropped unlooked-at, empty lines and lines without '|' are skipped, fields beyond the third
// are ignored. Decoding follows a byte-order mark, UTF-8 otherwise; "\r\n" reads as "\n".
class NvrLineReader {
public:
    // Told of each line the walk passes over: the dropped first line, empty lines, lines
    // without '|'.
    using SkippedLineHandler = std::function<void(int lineNumber, const QString &line)>;

    explicit NvrLineReader(QIODevice *device, SkippedLineHandler skipped = {});

    // Fills parameter with the next line of two or more fields; false at the end of the file.
    bool next(NvrParameter &parameter);

    // The whole line that the last parameter came from.
    const QString &line() const { return m_line; }

private:
    bool readLine();
    void skip();

    QTextStream m_stream;
    SkippedLineHandler m_skipped;
    QString m_line;
    int m_lineNumber = 0;
};
