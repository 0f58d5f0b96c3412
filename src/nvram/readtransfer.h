// Reading every parameter page of the board into an ".nvr" file, all or nothing.
#pragma once

#include "nvram/transferhooks.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

class QTextStream;
class SerialLink;
struct NvrParameter;

// A page saved as the board holds it that the file cannot carry back to the board.
struct UncarriedPage {
    QString pageText;
    QString reason; // "\"|\" in the value, \"$\" in the description"
};

// How a read ended, and what the technician must be told of it.
struct ReadResult {
    enum class Outcome {
        Saved, // every page is in the file
        NotAFile, // something that a read does not replace has the name (detail: what it is);
                  // nothing was asked of the board
        CannotCreate, // the file could not be started; nothing was asked of the board
        Stopped, // the board gave no usable answer
        LinkLost, // the device went away
        NotAPageNumber, // page 0's value (detail) is no page number
        WriteFailed, // the file could not be written (detail: why)
        KeepingPreviousFailed, // the replaced file could not be kept as NAME~ (detail: why)
    };
    Outcome outcome = Outcome::Saved;
    QString path;
    bool existed = false; // something had the name before
    qint64 pagesRead = 0;
    qint64 pageCount = 0; // as page 0 announced; 0 before page 0 is in
    QString detail;
    // Saved pages whose value or description the file cannot give back as the board holds it.
    QList<UncarriedPage> uncarriedPages;
};

// The read into path refused before the board is asked anything: a read replaces a regular
// file or a link, never a device, a pipe, a socket or a folder. Empty when it may go ahead.
std::optional<ReadResult> RefusedReadTarget(const QString &path);

class ReadTransfer {
public:
    ReadTransfer(SerialLink &link, TransferHooks hooks);

    // Asks the board for every page and saves them to path only when all are in; an earlier file
    // of that name is kept as NAME~.
    ReadResult ReadCtlToFile(const QString &path);

    // Asks the board for every page and renders them into bytes exactly as ReadCtlToFile saves
    // them. bytes is complete only when the outcome is Saved; result.path is left empty.
    ReadResult ReadCtlToBytes(QByteArray &bytes);

    // Asks the board for every page and hands them over, in page order, with the board's own
    // text: a comparison must see what a file cannot always carry. pages is complete only when
    // the outcome is Saved.
    ReadResult ReadCtlToPages(QList<NvrParameter> &pages);

private:
    // Takes each page as it comes in; false stops the read.
    using PageSink = std::function<bool(
        const QString &pageText, const QString &value, const QString &description)>;

    bool writeNvrFile(QTextStream &out, ReadResult &result);
    ReadResult::Outcome stoppedOutcome() const;
    bool ReadPages(const PageSink &sink, ReadResult &result);
    bool ReadPage(int page, const PageSink &sink, ReadResult &result);
    bool AskBoard(const QString &command, QString &data);

    SerialLink &m_link;
    TransferHooks m_hooks;
    int CtlParamEndPage = 0;
    QString pageValue;
    QString pageDescription;
};
