// The ".nvr" parameter file format and the NVRAM commands built from it.
#include "nvrformat.h"

#include "app/constants.h"

#include <QIODevice>

QString PageNumberToHex(int number, int width)
{
    return QString::number(number, 16).rightJustified(width, QLatin1Char('0')).toUpper();
}

QString NvrHeaderLine()
{
    return NvrDataLine(
        QStringLiteral("Page Number"), QStringLiteral("Value"), QStringLiteral("Description"));
}

QString NvrDataLine(const QString &pageText, const QString &value, const QString &description)
{
    return pageText + kFieldSeparator + value + kFieldSeparator + description;
}

QStringList SplitNvrFields(const QString &line)
{
    QString folded = line;
    folded.replace(kFieldSeparator, QStringLiteral("|"));
    return folded.split(QLatin1Char('|'), Qt::KeepEmptyParts);
}

QString ValueQuestion(int page)
{
    return QStringLiteral("$22") + PageNumberToHex(page, 4) + QLatin1Char('%');
}

QString DescriptionQuestion(int page)
{
    return QStringLiteral("$23") + PageNumberToHex(page, 4) + QLatin1Char('%');
}

QString AnswerData(const QString &answer)
{
    QString data = answer;
    data.remove(QLatin1Char('#'));
    return data.mid(kAnswerPrefixLength);
}

bool FitsOnOneLine(const QString &data)
{
    return !data.contains(QLatin1Char('\r')) && !data.contains(QLatin1Char('\n'));
}

QString ValueWriteCommand(const QString &pageText, const QString &value)
{
    return QStringLiteral("$20") + pageText + value + QLatin1Char('%');
}

QString DescriptionWriteCommand(const QString &pageText, const QString &description)
{
    return QStringLiteral("$21") + pageText + description + QLatin1Char('%');
}

NvrLineReader::NvrLineReader(QIODevice *device)
    : m_stream(device)
{
}

bool NvrLineReader::next(NvrParameter &parameter)
{
    if (!m_headerDropped) {
        m_stream.readLine();
        m_headerDropped = true;
    }
    QString line;
    while (m_stream.readLineInto(&line)) {
        const QStringList fields = SplitNvrFields(line);
        if (fields.size() < 2)
            continue;
        parameter.pageText = fields.at(0);
        parameter.value = fields.at(1);
        parameter.hasDescription = fields.size() > 2;
        parameter.description = parameter.hasDescription ? fields.at(2) : QString();
        return true;
    }
    return false;
}
