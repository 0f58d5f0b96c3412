// What the write refuses to send: a file that the board would not hold as it says.
#include "writerule.h"

#include "link/escapedtext.h"
#include "link/frame.h"
#include "nvram/nvrformat.h"

#include <QBuffer>

#include <algorithm>
#include <limits>

namespace {

struct Field {
    QString name;
    const QString *text;
};

QString outsideLatin1(const QList<Field> &fields)
{
    const auto outside = [](QChar c) { return c.unicode() > 0xFF; };
    if (std::none_of(fields.cbegin(), fields.cend(), [&outside](const Field &field) {
            return std::any_of(field.text->cbegin(), field.text->cend(), outside);
        }))
        return {};
    QList<char32_t> found;
    for (const Field &field : fields) {
        for (const char32_t c : field.text->toUcs4()) {
            if (c > 0xFF && !found.contains(c))
                found << c;
        }
    }
    QStringList shown;
    for (const char32_t c : std::as_const(found))
        shown << QString::fromUcs4(&c, 1);
    return shown.join(QLatin1Char(' '));
}

} // namespace

QString FindingText(const QString &fileName, const NvrFinding &finding)
{
    QString text = EscapedText(fileName);
    if (finding.lineNumber > 0)
        text += QLatin1Char(':') + QString::number(finding.lineNumber);
    text += QStringLiteral(": ");
    if (finding.refusesWrite)
        text += QStringLiteral("refused: ");
    return text + finding.reason;
}

QStringList WriteRule::refusals(const NvrParameter &parameter)
{
    m_lineSent = true;
    QStringList reasons;
    int page = 0;
    const bool pageNumber = PageTextToNumber(parameter.pageText, &page);
    // "05" would go out as "$2005..." and the board would take the first four characters that
    // follow as the page.
    if (!pageNumber) {
        reasons << QStringLiteral(
            "page %1 is not four upper-case hexadecimal digits: the board may write another page")
                       .arg(QuotedText(parameter.pageText));
    }
    QList<Field> fields { { QStringLiteral("page"), &parameter.pageText },
        { QStringLiteral("value"), &parameter.value } };
    if (parameter.hasDescription)
        fields.append({ QStringLiteral("description"), &parameter.description });
    for (const Field &field : std::as_const(fields)) {
        if (field.text->contains(QLatin1Char(kCommandStart)))
            reasons << QStringLiteral("\"$\" in the %1: the board starts a new command there")
                           .arg(field.name);
        if (field.text->contains(QLatin1Char(kCommandEnd)))
            reasons << QStringLiteral("\"%\" in the %1: the board ends the command there")
                           .arg(field.name);
        if (field.text->contains(QLatin1Char(kAnswerEnd)))
            reasons << QStringLiteral("\"#\" in the %1: reading it back from the board stops there")
                           .arg(field.name);
        if (!m_nulFound && field.text->contains(QChar(0))) {
            m_nulFound = true;
            reasons << QStringLiteral("NUL bytes in the file (saved as UTF-16?)");
        }
    }
    const QString foreign = outsideLatin1(fields);
    if (!foreign.isEmpty())
        reasons << QStringLiteral("characters outside Latin-1 go to the board as \"?\": %1")
                       .arg(foreign);
    // The board answers a question for an empty field with nothing, which a read takes for a
    // board that stopped answering.
    if (parameter.value.isEmpty() || (parameter.hasDescription && parameter.description.isEmpty()))
        reasons << QStringLiteral(
            "the board will hold an empty field, and a read stops at this page");
    int lastPage = 0;
    if (pageNumber && page == 0 && !LastPageFromValue(parameter.value, &lastPage)) {
        reasons << QStringLiteral("page 0000 value %1 is not a page number from 0 to %2 in plain "
                                  "digits: every read of the board would stop at page 0000")
                       .arg(QuotedText(parameter.value))
                       .arg(std::numeric_limits<int>::max());
    }
    return reasons;
}

QStringList WriteRule::fileRefusals() const
{
    if (!m_lineSent)
        return { QStringLiteral("no line would be sent") };
    return {};
}

WriteRefusals FindWriteRefusals(const QByteArray &file, int kept)
{
    WriteRefusals refusals;
    const auto note = [&](int lineNumber, const QStringList &reasons) {
        for (const QString &reason : reasons) {
            if (refusals.first.size() < kept)
                refusals.first << NvrFinding { lineNumber, reason, true };
            ++refusals.count;
        }
    };
    QBuffer buffer;
    buffer.setData(file);
    buffer.open(QIODevice::ReadOnly);
    NvrLineReader reader(&buffer);
    WriteRule rule;
    NvrParameter parameter;
    while (reader.next(parameter)) {
        if (!ParameterWriteCommands(parameter).isEmpty())
            note(parameter.lineNumber, rule.refusals(parameter));
    }
    note(0, rule.fileRefusals());
    return refusals;
}
