// Text helpers shared by the check and the comparison reports.
#include "nvrtext.h"

QString QuotedText(const QString &text)
{
    QString quoted = QStringLiteral("\"");
    for (const QChar c : text) {
        if (c == QLatin1Char('"') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\') + c;
        else if (c == QLatin1Char('\r'))
            quoted += QStringLiteral("\\r");
        else if (c == QLatin1Char('\t'))
            quoted += QStringLiteral("\\t");
        else if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            quoted += QStringLiteral("\\x")
                + QString::number(c.unicode(), 16).rightJustified(2, QLatin1Char('0'));
        else
            quoted += c;
    }
    return quoted + QLatin1Char('"');
}

QString CountOf(qint64 count, const QString &word)
{
    return QString::number(count) + QLatin1Char(' ') + word
        + (count == 1 ? QString() : QStringLiteral("s"));
}
