// What the technician is told about parameter files and transfers: why a file or a name cannot
// be used, the progress of a read or a write, and the box that tells how it ended.
#include "transfermessages.h"

#include "link/escapedtext.h"
#include "link/frame.h"
#include "nvram/nvrformat.h"
#include "nvram/readtransfer.h"
#include "nvram/writerule.h"
#include "nvram/writetransfer.h"

#include <QCoreApplication>
#include <QStringList>

#include <limits>

#include <sys/stat.h>

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

// Refused lines named in a box.
constexpr int kRefusalsNamed = 3;

// "page 0001", "pages 0001, 0003 and 0005", "pages 0001, 0003, 0005 and 4 more".
QString namedPages(const QStringList &first, int count)
{
    if (count == 1)
        return QStringLiteral("page ") + first.constFirst();
    if (count > first.size()) {
        return QStringLiteral("pages %1 and %2 more")
            .arg(first.join(QStringLiteral(", ")), QString::number(count - first.size()));
    }
    return QStringLiteral("pages %1 and %2")
        .arg(first.mid(0, first.size() - 1).join(QStringLiteral(", ")), first.constLast());
}

} // namespace

QString NotRegularFileText(bool folder)
{
    return folder ? QStringLiteral("it is a folder") : QStringLiteral("it is not a regular file");
}

QString NotFollowedLinkText() { return QStringLiteral("it is a link, which is not followed here"); }

QString TooLargeFileText()
{
    return QStringLiteral("it is larger than %1 MB, so it cannot be a parameter file")
        .arg(kMaxNvrFileBytes / (1024 * 1024));
}

QString FileKindText(unsigned mode)
{
    if (S_ISDIR(mode))
        return QStringLiteral("a folder");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("a device");
    if (S_ISFIFO(mode))
        return QStringLiteral("a pipe (FIFO)");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    return QStringLiteral("something other than a file");
}

QString NotReplacedText(const QString &kind)
{
    return QStringLiteral("it is %1, which a read does not replace").arg(kind);
}

QString TypedNameProblem(
    const QString &directory, const QString &typedName, const QString &name, qsizetype longestName)
{
    if (typedName.contains(QLatin1Char('/'))) {
        return QStringLiteral("The file name \"%1\" contains \"/\". Files are always saved in "
                              "%2; type a name without \"/\".")
            .arg(typedName, directory);
    }
    if (typedName.startsWith(QLatin1Char('.'))) {
        return QStringLiteral("The file name \"%1\" starts with \".\": the file would be hidden, "
                              "and \"To CTL PCB\" would not list it. Type a name that starts "
                              "with another character.")
            .arg(typedName);
    }
    if (name.trimmed().isEmpty()) {
        return QStringLiteral("Type a name for the file: an empty name, or one of blanks only, "
                              "cannot be saved.");
    }
    if (name.toUtf8().size() > longestName) {
        return QStringLiteral("The file name is too long: it may take at most %1 bytes. Most "
                              "characters take one byte, letters such as \"\u00e9\" two or "
                              "more. Type a shorter name.")
            .arg(longestName);
    }
    return {};
}

QString UncarriedReason(const QString &value, const QString &description)
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

QString ReadingProgressText(qint64 page, int endPage, int percent)
{
    if (page == 0)
        return QStringLiteral("Reading page 0000");
    return QStringLiteral("Reading page %1 of %2 (%3 %)")
        .arg(PageNumberToHex(int(page), kPageTextWidth), PageNumberToHex(endPage, kPageTextWidth))
        .arg(percent);
}

QString WritingProgressText(const QString &pageText, int percent)
{
    return QStringLiteral("Writing page %1 (%2 % of the file)").arg(pageText).arg(percent);
}

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

QString WriteResultMessage(const WriteResult &result)
{
    const bool stoppedEarly = result.stopped && !result.endSent;
    QStringList paragraphs;
    if (result.linkLost && result.endSent) {
        paragraphs << QStringLiteral("The link to the CTL PCB was lost at the end of the "
                                     "write: the board may not have saved the parameters. "
                                     "Write the file again once the board answers.");
    } else if (result.linkLost) {
        paragraphs << QStringLiteral("The link to the CTL PCB was lost at page %1.")
                          .arg(result.currentPage);
    } else if (result.interrupted) {
        paragraphs
            << QStringLiteral("The write was interrupted at page %1.").arg(result.currentPage);
    } else if (stoppedEarly) {
        paragraphs << QStringLiteral("The write stopped: the CTL PCB gave no complete answer "
                                     "to %1 commands in a row.")
                          .arg(kUnansweredLimit);
    }
    if (stoppedEarly) {
        paragraphs << (result.lastAnsweredPage.isNull()
                ? QStringLiteral("No page was completely written.")
                : QStringLiteral("Last page completely written: %1.").arg(result.lastAnsweredPage));
        paragraphs << QStringLiteral("%1 of %2 lines of the file were not completely sent.")
                          .arg(result.lines - result.linesSent)
                          .arg(result.lines);
        paragraphs << QStringLiteral(
            "The parameters were not saved on the board, so it keeps its saved parameters "
            "after a restart. Write the file again once the board answers.");
    }
    if (!result.tooLongPages.isEmpty()) {
        paragraphs << QStringLiteral("Not sent, too long for one command: %1 %2.")
                          .arg(result.tooLongPages.size() == 1 ? QStringLiteral("page")
                                                               : QStringLiteral("pages"),
                              result.tooLongPages.join(QStringLiteral(", ")));
    }
    // The board saves on "$24%" whatever it made of the commands before it: say so, and where.
    if (result.endSent && result.unansweredLines > 0) {
        paragraphs << QStringLiteral("The board gave no complete answer to %1 of %2 commands: for "
                                     "%3%4. \"%5\" was sent all the same, so the board was told "
                                     "to save: it may now hold old or wrong values there. Write "
                                     "the file again once the board answers.")
                          .arg(QString::number(result.unanswered), QString::number(result.sent),
                              namedPages(result.unansweredPages, result.unansweredLines),
                              result.endAnswered
                                  ? QString()
                                  : QStringLiteral(", and for \"%1\"").arg(kEndOfTransfer),
                              kEndOfTransfer);
    } else if (result.endSent && !result.endAnswered && !result.linkLost) {
        paragraphs << QStringLiteral(
            "The board gave no complete answer to \"%1\", which tells it to save: it may not "
            "have saved the parameters. Write the file again once the board answers.")
                          .arg(kEndOfTransfer);
    }
    return paragraphs.join(QStringLiteral("\n\n"));
}

QString WriteRefusalMessage(const QString &path, const NvrFileContents &contents)
{
    const QString name = EscapedText(path);
    if (!contents.error.isEmpty()) {
        return QStringLiteral("Could not open %1: %2. Nothing was sent to the board.")
            .arg(name, contents.error);
    }
    const WriteRefusals refusals = FindWriteRefusals(contents.bytes, kRefusalsNamed);
    if (refusals.count == 0)
        return {};
    QStringList lines;
    for (const NvrFinding &refusal : refusals.first)
        lines << FindingText(path, refusal);
    if (refusals.count > refusals.first.size())
        lines << QStringLiteral("and %1 more").arg(refusals.count - refusals.first.size());
    return QStringLiteral("%1 cannot be written to the CTL PCB as it is:\n\n").arg(name)
        + lines.join(QLatin1Char('\n')) + QStringLiteral("\n\nNothing was sent to the board.");
}
