// Reading every parameter page of the board into an ".nvr" file, all or nothing.
#include "readtransfer.h"

#include "link/escapedtext.h"
#include "link/frame.h"
#include "link/seriallink.h"
#include "nvram/backupfile.h"
#include "nvram/nvrformat.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDebug>
#include <QStringList>
#include <QTextStream>

#include <cmath>
#include <limits>

namespace {

// What became of the file when a read did not save: the old one is kept as it was.
QString nothingSaved(const QString &path, bool existed)
{
    return existed
        ? QStringLiteral("Nothing was saved: %1 is unchanged.").arg(EscapedText(path))
        : QStringLiteral("Nothing was saved: %1 was not created.").arg(EscapedText(path));
}

QString stoppedWarning(
    qint64 pagesRead, qint64 pageCount, bool linkLost, const QString &path, bool existed)
{
    const QString page = PageNumberToHex(int(pagesRead), kPageTextWidth);
    QString text = linkLost
        ? QStringLiteral("The link to the CTL PCB was lost at page %1").arg(page)
        : QStringLiteral("The read stopped at page %1").arg(page);
    // Before page 0 is in, the board has not said how many pages it has.
    if (pagesRead == 0) {
        text += QStringLiteral(": no page could be read. ");
    } else {
        text += QStringLiteral(": %1 of %2 pages were read. ").arg(pagesRead).arg(pageCount);
    }
    return text + nothingSaved(path, existed);
}

QString refusedLastPageWarning(const QString &value, const QString &path, bool existed)
{
    return QStringLiteral("The read stopped: page 0000 gives the number of the last page, but the "
                          "CTL PCB sent %1, which is not a page number from 0 to %2. ")
               .arg(QuotedText(value))
               .arg(std::numeric_limits<int>::max())
        + nothingSaved(path, existed);
}

QString writeFailedWarning(const QString &path, QString reason, bool existed)
{
    // A disk that fills up mid-write takes part of the data and gives no reason of its own.
    if (reason == QCoreApplication::translate("QIODevice", "Unknown error"))
        reason = QStringLiteral("Not all of the data could be written (the disk may be full)");
    return QStringLiteral("Writing %1 failed: %2. ").arg(EscapedText(path), reason)
        + nothingSaved(path, existed);
}

QString keepingPreviousFailedWarning(const QString &path, const QString &reason)
{
    return QStringLiteral("The read was complete, but the previous %1 could not be kept as %1~: "
                          "%2. ")
               .arg(EscapedText(path), reason)
        + nothingSaved(path, true);
}

QString notAFileWarning(const QString &path, const QString &kind)
{
    return QStringLiteral("Could not save to %1: it is %2, and a read replaces only a file or a "
                          "link. Nothing was read from the board.")
        .arg(EscapedText(path), kind);
}

// What a file cannot give back as the board holds it: a '|' splits the field when the file is
// read, and the write cannot send '$', '%' (the board takes them for the start and the end of a
// command) or NUL.
QString uncarriedCharacters(const QString &field)
{
    QStringList found;
    for (const char c : { kFieldBar, kCommandStart, kCommandEnd }) {
        if (field.contains(QLatin1Char(c)))
            found << QStringLiteral("\"%1\"").arg(QLatin1Char(c));
    }
    if (field.contains(QChar(0)))
        found << QStringLiteral("NUL");
    return found.join(QStringLiteral(" and "));
}

QString uncarriedReason(const QString &value, const QString &description)
{
    QStringList reasons;
    const QString inValue = uncarriedCharacters(value);
    if (!inValue.isEmpty())
        reasons << inValue + QStringLiteral(" in the value");
    const QString inDescription = uncarriedCharacters(description);
    if (!inDescription.isEmpty())
        reasons << inDescription + QStringLiteral(" in the description");
    return reasons.join(QStringLiteral(", "));
}

QString uncarriedWarning(const ReadResult &result, int listedPages)
{
    const qsizetype count = result.uncarriedPages.size();
    QString text = count == 1
        ? QStringLiteral("The read is saved in %1, but one page holds characters that the file "
                         "cannot carry back to the board:\n")
              .arg(EscapedText(result.path))
        : QStringLiteral("The read is saved in %1, but %2 pages hold characters that the file "
                         "cannot carry back to the board:\n")
              .arg(EscapedText(result.path))
              .arg(count);
    for (qsizetype i = 0; i < count && i < listedPages; ++i) {
        const UncarriedPage &page = result.uncarriedPages.at(i);
        text += QStringLiteral("page %1: %2\n").arg(page.pageText, page.reason);
    }
    if (count > listedPages)
        text += QStringLiteral("and %1 more.\n").arg(count - listedPages);
    return text
        + QStringLiteral("A \"|\" splits a value or a description when the file is read, and "
                         "\"$\", \"%\" and NUL cannot be written to the board: writing this file "
                         "back would not restore these pages as they are now.");
}

// Before page 0 is in, the board has not said how many pages there are.
int readingPercent(qint64 page, int endPage)
{
    return page == 0 ? 0 : int(std::llround(double(page) * 100 / double(endPage)));
}

QString readingProgress(qint64 page, int endPage)
{
    if (page == 0)
        return QStringLiteral("Reading page 0000");
    return QStringLiteral("Reading page %1 of %2 (%3 %)")
        .arg(PageNumberToHex(int(page), kPageTextWidth), PageNumberToHex(endPage, kPageTextWidth))
        .arg(readingPercent(page, endPage));
}

} // namespace

QString ReadResultMessage(const ReadResult &result, int listedPages)
{
    using Outcome = ReadResult::Outcome;
    switch (result.outcome) {
    case Outcome::Saved:
        return result.uncarriedPages.isEmpty() ? QString() : uncarriedWarning(result, listedPages);
    case Outcome::NotAFile:
        return notAFileWarning(result.path, result.detail);
    case Outcome::CannotCreate:
        return QStringLiteral("Could not create ") + EscapedText(result.path) + QStringLiteral(": ")
            + result.detail + QStringLiteral(". Nothing was read from the board.");
    case Outcome::Stopped:
    case Outcome::LinkLost:
        return stoppedWarning(result.pagesRead, result.pageCount,
            result.outcome == Outcome::LinkLost, result.path, result.existed);
    case Outcome::NotAPageNumber:
        return refusedLastPageWarning(result.detail, result.path, result.existed);
    case Outcome::WriteFailed:
        return writeFailedWarning(result.path, result.detail, result.existed);
    case Outcome::KeepingPreviousFailed:
        return keepingPreviousFailedWarning(result.path, result.detail);
    }
    return {};
}

std::optional<ReadResult> RefusedReadTarget(const QString &path)
{
    const QString kind = UnreplaceableKind(path);
    if (kind.isEmpty())
        return std::nullopt;
    ReadResult result;
    result.outcome = ReadResult::Outcome::NotAFile;
    result.path = path;
    result.existed = true;
    result.detail = kind;
    return result;
}

ReadTransfer::ReadTransfer(SerialLink &link, TransferHooks hooks)
    : m_link(link)
    , m_hooks(std::move(hooks))
{
}

// The file is replaced in one step, and only by a complete read; the file it replaces is kept
// as NAME~. The file keeps whatever the board sent; pages it cannot carry back are named.
ReadResult ReadTransfer::ReadCtlToFile(const QString &path)
{
    if (std::optional<ReadResult> refused = RefusedReadTarget(path))
        return *refused;
    ReadResult result;
    result.path = path;
    result.existed = NameIsTaken(path);
    BackupFile file(path);
    if (!file.open()) {
        result.outcome = ReadResult::Outcome::CannotCreate;
        result.detail = file.errorString();
        return result;
    }
    QTextStream out(file.device());
    const bool complete = writeNvrFile(out, result);
    if (out.status() != QTextStream::Ok) {
        result.outcome = ReadResult::Outcome::WriteFailed;
        result.detail = file.errorString();
    } else if (!complete && result.outcome == ReadResult::Outcome::Saved) {
        result.outcome = stoppedOutcome();
    } else if (complete && !file.commit()) {
        result.outcome = file.keepingPreviousFailed() ? ReadResult::Outcome::KeepingPreviousFailed
                                                      : ReadResult::Outcome::WriteFailed;
        result.detail = file.errorString();
    }
    if (result.outcome != ReadResult::Outcome::Saved)
        result.uncarriedPages.clear();
    return result;
}

ReadResult ReadTransfer::ReadCtlToBytes(QByteArray &bytes)
{
    bytes.clear();
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QTextStream out(&buffer);
    ReadResult result;
    if (!writeNvrFile(out, result) && result.outcome == ReadResult::Outcome::Saved)
        result.outcome = stoppedOutcome();
    if (result.outcome != ReadResult::Outcome::Saved)
        result.uncarriedPages.clear();
    return result;
}

ReadResult ReadTransfer::ReadCtlToPages(QList<NvrParameter> &pages)
{
    ReadResult result;
    pages.clear();
    const auto keep
        = [&pages](const QString &pageText, const QString &value, const QString &description) {
              pages << NvrParameter { pageText, value, description, true, 0 };
              return true;
          };
    if (!ReadPages(keep, result) && result.outcome == ReadResult::Outcome::Saved)
        result.outcome = stoppedOutcome();
    return result;
}

// The one writer of a read's file: the header line, then each page's line the moment it is in,
// with the pages the file cannot carry back noted. True when every page is in and written.
bool ReadTransfer::writeNvrFile(QTextStream &out, ReadResult &result)
{
    out << NvrHeaderLine() << Qt::endl;
    const auto save = [&out, &result](const QString &pageText, const QString &value,
                          const QString &description) {
        const QString reason = uncarriedReason(value, description);
        if (!reason.isEmpty())
            result.uncarriedPages << UncarriedPage { pageText, reason };
        out << NvrDataLine(pageText, value, description) << Qt::endl;
        // A file that can no longer be written is no backup; asking for more pages is pointless.
        return out.status() == QTextStream::Ok;
    };
    return out.status() == QTextStream::Ok && ReadPages(save, result);
}

// How a read ended that the board stopped: without an answer, or with the device gone.
ReadResult::Outcome ReadTransfer::stoppedOutcome() const
{
    return m_link.deviceWasLost() ? ReadResult::Outcome::LinkLost : ReadResult::Outcome::Stopped;
}

// True when every page up to the last one that page 0 announced is in; pagesRead counts the
// pages taken, always pages 0 up to one before that count.
bool ReadTransfer::ReadPages(const PageSink &sink, ReadResult &result)
{
    // Counted in 64 bits: after a last page of INT_MAX the counter still has to step past it.
    qint64 PGNum = 0;
    for (;;) {
        if (m_hooks.progress)
            m_hooks.progress(
                readingProgress(PGNum, CtlParamEndPage), readingPercent(PGNum, CtlParamEndPage));
        if (!ReadPage(int(PGNum), sink, result))
            break;
        ++PGNum;
        result.pagesRead = PGNum;
        if (CtlParamEndPage < PGNum) {
            qDebug() << "DataValid = false - PGNum > CtlParamEndPage";
            return true;
        }
    }
    return false;
}

// Asks for the page's value and description and hands them on; false when the read must stop.
bool ReadTransfer::ReadPage(int page, const PageSink &sink, ReadResult &result)
{
    const bool DataValid = AskBoard(ValueQuestion(page), pageValue);
    if (!AskBoard(DescriptionQuestion(page), pageDescription)) {
        qDebug() << "DataValid = false - RCV_Str.length() is longer than sentStringLength";
        return false;
    }
    if (!DataValid)
        return false;
    if (page == 0) {
        if (!LastPageFromValue(pageValue, &CtlParamEndPage)) {
            result.outcome = ReadResult::Outcome::NotAPageNumber;
            result.detail = pageValue;
            return false;
        }
        result.pageCount = qint64(CtlParamEndPage) + 1;
    }
    return sink(PageNumberToHex(page, kPageTextWidth), pageValue, pageDescription);
}

// One exchange; on a usable answer data gets its text, otherwise data is left as it was.
bool ReadTransfer::AskBoard(const QString &command, QString &data)
{
    const int sentStringLength = int(command.size());
    if (m_hooks.beforeExchange)
        m_hooks.beforeExchange();
    if (m_hooks.stopRequested && m_hooks.stopRequested())
        return false;
    // An answer cut off by the response window or the length limit can still be long enough;
    // without its '#' its text is not the page's and must not end up in a backup. Nor can a
    // line break inside the data: it would split the page's line in the file.
    if (!IsCompleteAnswer(m_link.exchange(command)) || m_link.response().size() <= sentStringLength)
        return false;
    const QString answerData = AnswerData(m_link.response());
    if (!FitsOnOneLine(answerData))
        return false;
    data = answerData;
    return true;
}
