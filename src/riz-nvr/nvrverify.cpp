// Comparing a file with what the board holds after reading it back.
#include "nvrverify.h"

#include "nvrtext.h"

#include <QList>

namespace {

struct Difference {
    QStringView pageText;
    const char *field; // "value", "description" or "page"
    QStringView file;
    QStringView board;
    bool onBoard = true; // false for a page the board does not hold
};

// In page order; for one page its value before its description.
QList<Difference> differences(const NvrVerify &verify)
{
    const NvrDiff &diff = verify.diff;
    QList<Difference> list;
    for (const NvrDiff::Change &change : diff.changes) {
        if (change.oldIndex < 0)
            continue;
        const NvrBackup::Page file = diff.oldBackup->page(change.oldIndex);
        if (change.newIndex < 0) {
            list << Difference { file.pageText, "page", file.value, {}, false };
            continue;
        }
        const NvrBackup::Page board = diff.newBackup->page(change.newIndex);
        if (change.valueChanged)
            list << Difference { file.pageText, "value", file.value, board.value };
        if (change.descriptionChanged)
            list << Difference { file.pageText, "description", file.description,
                board.description };
    }
    return list;
}

} // namespace

NvrVerify VerifyNvrBackup(const NvrBackup &file, const NvrBackup &board)
{
    NvrVerify verify;
    verify.diff = DiffNvrBackups(file, board);
    verify.filePages = file.size();
    verify.boardOnlyPages = verify.diff.added;
    verify.differingPages = qsizetype(verify.diff.changes.size()) - verify.diff.added;
    return verify;
}

QByteArray VerifyText(const NvrVerify &verify)
{
    QString text;
    for (const Difference &difference : differences(verify)) {
        const QString page = EscapedText(difference.pageText.toString());
        const QString file = QuotedText(difference.file.toString());
        text += difference.onBoard
            ? QStringLiteral("page %1 %2 differs: file %3, board %4\n")
                  .arg(page, QLatin1String(difference.field), file,
                      QuotedText(difference.board.toString()))
            : QStringLiteral("page %1 is not on the board: file %2\n").arg(page, file);
    }
    text += QStringLiteral("%1 of %2 differ; %3 on the board only\n")
                .arg(QString::number(verify.differingPages),
                    CountOf(verify.filePages, QStringLiteral("page")),
                    QString::number(verify.boardOnlyPages));
    return text.toUtf8();
}

QByteArray VerifyJson(const NvrVerify &verify)
{
    QByteArray text;
    JsonWriter json(text);
    json.openObject();
    json.openObject("counts");
    json.number("boardOnly", verify.boardOnlyPages);
    json.number("differing", verify.differingPages);
    json.number("pages", verify.filePages);
    json.close();
    json.openArray("differences");
    for (const Difference &difference : differences(verify)) {
        json.openObject();
        json.textOrNull("board", difference.board, difference.onBoard);
        json.text("field", QString::fromLatin1(difference.field));
        json.text("file", difference.file);
        json.text("page", difference.pageText);
        json.close();
    }
    json.close();
    json.close();
    return text;
}
