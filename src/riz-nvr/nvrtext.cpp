// Text helpers shared by the reports.
#include "nvrtext.h"

#include <QJsonDocument>

QString CannotReadText(const QString &name, const QString &reason)
{
    return QStringLiteral("cannot read %1: %2").arg(EscapedText(name), reason);
}

QString CountOf(qint64 count, const QString &word)
{
    return QString::number(count) + QLatin1Char(' ') + word
        + (count == 1 ? QString() : QStringLiteral("s"));
}

QByteArray JsonText(const QJsonDocument &document)
{
    // Qt's writer escapes the controls below U+0020 only; DEL and the C1 controls would reach
    // a terminal as they are. Outside strings the document holds none of them.
    const QString json = QString::fromUtf8(document.toJson(QJsonDocument::Indented));
    QString escaped;
    escaped.reserve(json.size());
    for (const QChar c : json) {
        if (c.unicode() >= 0x7F && c.category() == QChar::Other_Control)
            escaped += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        else
            escaped += c;
    }
    return escaped.toUtf8();
}
