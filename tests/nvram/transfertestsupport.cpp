// What the transfer suites share, without a window.
#include "transfertestsupport.h"

#include "link/seriallink.h"
#include "nvram/nvrformat.h"

#include <QFile>

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArrayLiteral("<cannot open>");
    return file.readAll();
}

void writeTestFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

QByteArray expectedNvrFile(const QList<BoardParameter> &table, int pageCount)
{
    // The format itself is pinned by the golden files; here it only has to match them.
    QString text = NvrHeaderLine() + QLatin1Char('\n');
    for (int page = 0; page < pageCount; ++page) {
        text += NvrDataLine(
                    PageNumberToHex(page, 4), table.at(page).value, table.at(page).description)
            + QLatin1Char('\n');
    }
    return text.toUtf8();
}
