// Reading every parameter page of the board into an ".nvr" file, all or nothing.
#include "readtransfer.h"

#include "link/frame.h"
#include "link/seriallink.h"
#include "nvram/backupfile.h"
#include "nvram/nvrformat.h"
#include "nvram/transfermessages.h"

#include <QBuffer>
#include <QDebug>
#include <QTextStream>

#include <cmath>

namespace {

// Before page 0 is in, the board has not said how many pages there are.
int readingPercent(qint64 page, int endPage)
{
    return page == 0 ? 0 : int(std::llround(double(page) * 100 / double(endPage)));
}

} // namespace

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
        const QString reason = UncarriedReason(value, description);
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
        if (m_hooks.progress) {
            const int percent = readingPercent(PGNum, CtlParamEndPage);
            m_hooks.progress(ReadingProgressText(PGNum, CtlParamEndPage, percent), percent);
        }
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
