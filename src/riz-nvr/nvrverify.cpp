// Comparing a file with what the board holds after reading it back.
#include "nvrverify.h"

#include "nvram/nvrformat.h"
#include "nvrtext.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <set>

namespace {

struct Difference {
    QString pageText;
    QString field; // "value", "description" or "page"
    QString file;
    QString board; // null for a page the board does not hold
};

QList<Difference> differences(const NvrDiff &diff)
{
    QList<Difference> list;
    for (const NvrChange &change : diff.valuesChanged)
        list << Difference { change.pageText, QStringLiteral("value"), change.oldText,
            change.newText };
    for (const NvrChange &change : diff.descriptionsChanged)
        list << Difference { change.pageText, QStringLiteral("description"), change.oldText,
            change.newText };
    for (const NvrParameter &page : diff.removed)
        list << Difference { page.pageText, QStringLiteral("page"), page.value, QString() };
    std::stable_sort(list.begin(), list.end(), [](const Difference &a, const Difference &b) {
        return PageTextLess(a.pageText, b.pageText);
    });
    return list;
}

} // namespace

NvrVerify VerifyNvrBackup(const NvrBackup &file, const NvrBackup &board)
{
    NvrVerify verify;
    verify.diff = DiffNvrBackups(file, board);
    verify.filePages = int(file.pages.size());
    verify.boardOnlyPages = int(verify.diff.added.size());
    std::set<QString> differing;
    for (const Difference &difference : differences(verify.diff))
        differing.insert(difference.pageText);
    verify.differingPages = int(differing.size());
    return verify;
}

QByteArray VerifyText(const NvrVerify &verify)
{
    QString text;
    for (const Difference &difference : differences(verify.diff)) {
        const QString page = EscapedText(difference.pageText);
        text += difference.board.isNull()
            ? QStringLiteral("page %1 is not on the board: file %2\n")
                  .arg(page, QuotedText(difference.file))
            : QStringLiteral("page %1 %2 differs: file %3, board %4\n")
                  .arg(page, difference.field, QuotedText(difference.file),
                      QuotedText(difference.board));
    }
    text += QStringLiteral("%1 of %2 differ; %3 on the board only\n")
                .arg(QString::number(verify.differingPages),
                    CountOf(verify.filePages, QStringLiteral("page")),
                    QString::number(verify.boardOnlyPages));
    return text.toUtf8();
}

QByteArray VerifyJson(const NvrVerify &verify)
{
    QJsonArray list;
    for (const Difference &difference : differences(verify.diff)) {
        list.append(QJsonObject { { QStringLiteral("page"), difference.pageText },
            { QStringLiteral("field"), difference.field },
            { QStringLiteral("file"), difference.file },
            { QStringLiteral("board"),
                difference.board.isNull() ? QJsonValue(QJsonValue::Null)
                                          : QJsonValue(difference.board) } });
    }
    const QJsonObject counts { { QStringLiteral("pages"), verify.filePages },
        { QStringLiteral("differing"), verify.differingPages },
        { QStringLiteral("boardOnly"), verify.boardOnlyPages } };
    return JsonText(QJsonDocument(QJsonObject {
        { QStringLiteral("differences"), list }, { QStringLiteral("counts"), counts } }));
}
