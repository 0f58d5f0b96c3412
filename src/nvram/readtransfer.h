// Reading every parameter page of the board into an ".nvr" file, all or nothing.
#pragma once

#include "nvram/transferhooks.h"

#include <QString>

class QTextStream;
class SerialLink;

// How a read ended, and what the technician must be told of it.
struct ReadResult {
    enum class Outcome {
        Saved, // every page is in the file
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
};

// The box for a read that did not save; empty for one that did.
QString ReadResultMessage(const ReadResult &result);

class ReadTransfer {
public:
    ReadTransfer(SerialLink &link, TransferHooks hooks);

    // Asks the board for every page and saves them to path only when all are in; an earlier file
    // of that name is kept as NAME~.
    ReadResult ReadCtlToFile(const QString &path);

private:
    bool ReadPagesInto(QTextStream &out, ReadResult &result);
    bool ReadPage(int page, QTextStream &out, ReadResult &result);
    bool AskBoard(const QString &command, QString &data);

    SerialLink &m_link;
    TransferHooks m_hooks;
    int CtlParamEndPage = 0;
    QString pageValue;
    QString pageDescription;
};
