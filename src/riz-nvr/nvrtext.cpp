// Text helpers shared by the reports.
#include "nvrtext.h"

QString CannotReadText(const QString &name, const QString &reason)
{
    return QStringLiteral("cannot read %1: %2").arg(EscapedText(name), reason);
}

QString CountOf(qint64 count, const QString &word)
{
    return QString::number(count) + QLatin1Char(' ') + word
        + (count == 1 ? QString() : QStringLiteral("s"));
}

namespace {

// The escape for a UTF-16 unit that is not written as it is, empty for one that is: Qt's
// escapes for the C0 controls, '"' and '\\'; DEL and the C1 controls, which terminals act on as
// well; and half of a surrogate pair on its own, which has no UTF-8 form.
QByteArray jsonEscape(QStringView text, qsizetype i)
{
    const char16_t unit = text.at(i).unicode();
    switch (unit) {
    case u'"':
        return "\\\"";
    case u'\\':
        return "\\\\";
    case u'\b':
        return "\\b";
    case u'\f':
        return "\\f";
    case u'\n':
        return "\\n";
    case u'\r':
        return "\\r";
    case u'\t':
        return "\\t";
    default:
        break;
    }
    const bool loneHigh = QChar::isHighSurrogate(unit)
        && (i + 1 == text.size() || !text.at(i + 1).isLowSurrogate());
    const bool loneLow
        = QChar::isLowSurrogate(unit) && (i == 0 || !text.at(i - 1).isHighSurrogate());
    if (unit < 0x20 || (unit >= 0x7F && unit <= 0x9F) || loneHigh || loneLow)
        return "\\u" + QByteArray::number(int(unit), 16).rightJustified(4, '0');
    return {};
}

void appendJsonString(QByteArray &out, QStringView text)
{
    out += '"';
    qsizetype plainFrom = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QByteArray escape = jsonEscape(text, i);
        if (escape.isEmpty())
            continue;
        out += text.mid(plainFrom, i - plainFrom).toUtf8();
        out += escape;
        plainFrom = i + 1;
    }
    out += text.mid(plainFrom).toUtf8();
    out += '"';
}

} // namespace

void JsonWriter::open(const char *key, char opening, char closing)
{
    member(key);
    m_out += opening;
    m_out += '\n';
    m_open.push_back({ closing, true });
}

void JsonWriter::close()
{
    const Container container = m_open.back();
    m_open.pop_back();
    if (!container.empty)
        m_out += '\n';
    m_out += QByteArray(4 * qsizetype(m_open.size()), ' ');
    m_out += container.closing;
    if (m_open.empty())
        m_out += '\n';
}

void JsonWriter::text(const char *key, QStringView value)
{
    member(key);
    appendJsonString(m_out, value);
}

void JsonWriter::textOrNull(const char *key, QStringView value, bool present)
{
    if (present) {
        text(key, value);
    } else {
        member(key);
        m_out += "null";
    }
}

void JsonWriter::number(const char *key, qint64 value)
{
    member(key);
    m_out += QByteArray::number(value);
}

void JsonWriter::member(const char *key)
{
    if (!m_open.empty()) {
        if (!m_open.back().empty)
            m_out += ",\n";
        m_open.back().empty = false;
        m_out += QByteArray(4 * qsizetype(m_open.size()), ' ');
    }
    if (key) {
        m_out += '"';
        m_out += key;
        m_out += "\": ";
    }
}
