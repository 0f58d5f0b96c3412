// What the technician is told about parameter files and transfers: why a file or a name cannot
// be used, the progress of a read or a write, and the box that tells how it ended.
#pragma once

#include <QString>

struct NvrFileContents;
struct ReadResult;
struct WriteResult;

// Uncarried pages a read's box names; the rest are counted.
constexpr int kListedUncarriedPages = 10;
// Unanswered pages a write's box names; the rest are counted.
constexpr int kPagesNamed = 3;

// Why a file is not read as a parameter file.
QString NotRegularFileText(bool folder);
QString NotFollowedLinkText();
QString TooLargeFileText();

// "a folder", "a device", "a pipe (FIFO)", "a socket": what a file of that mode is.
QString FileKindText(unsigned mode);
// Why a read does not replace what has the name: kind as FileKindText gives it.
QString NotReplacedText(const QString &kind);

// Why a name typed for a read cannot be saved (name: without the extension, which may take
// longestName bytes); empty when it can.
QString TypedNameProblem(
    const QString &directory, const QString &typedName, const QString &name, qsizetype longestName);

// "\"|\" in the value, \"$\" in the description": what a file cannot carry back of a page as the
// board holds it; empty when it can carry the page.
QString UncarriedReason(const QString &value, const QString &description);

// "Reading page 0003 of 000A (30 %)"; before page 0 is in, only the page.
QString ReadingProgressText(qint64 page, int endPage, int percent);
// "Writing page 0003 (30 % of the file)".
QString WritingProgressText(const QString &pageText, int percent);

// The box for a read that did not save, or that saved pages the file cannot carry back (the
// first listedPages of them named); empty for a read that saved the board whole.
QString ReadResultMessage(const ReadResult &result, int listedPages = kListedUncarriedPages);

// The box for a write that did not go through as it should; empty for one that did.
QString WriteResultMessage(const WriteResult &result);

// The box for a file that is not sent at all: it cannot be read, or the board would not hold it
// as it says. Empty for a file that may be sent.
QString WriteRefusalMessage(const QString &path, const NvrFileContents &contents);
