// The simulated board's parameter table: generated contents, loaded from and saved to ".nvr"
// files as the tool reads and writes them.
#include "boardtable.h"

#include "nvram/nvrformat.h"

#include <QFile>
#include <QStringList>

#include <iterator>

namespace {

constexpr qint64 kMaxNvrPage = 0xFFFFF;

struct ParameterTemplate {
    const char *description;
    const char *text; // fixed text; nullptr: the number below
    int number;
};

// Shaped like the service pages of a machine controller; the same table every run so that
// tests can name pages and values.
constexpr ParameterTemplate kTemplates[] = {
    { "Serial number", "CTL-104217", 0 },
    { "Firmware build date", "2023-11-14", 0 },
    { "Firmware version", "4.12.3", 0 },
    { "Hardware revision", "C", 0 },
    { "Spindle speed limit (rpm)", nullptr, 18000 },
    { "Spindle acceleration (rpm/s)", nullptr, 1200 },
    { "Spindle stop delay (ms)", nullptr, 2500 },
    { "Heater 1 setpoint (0.1 C)", nullptr, 2150 },
    { "Heater 2 setpoint (0.1 C)", nullptr, 1850 },
    { "Heater over-temperature limit (0.1 C)", nullptr, 2600 },
    { "Door interlock delay (ms)", nullptr, 500 },
    { "Door lock retries", nullptr, 3 },
    { "Emergency stop reset delay (ms)", nullptr, 1500 },
    { "X axis max feed (mm/min)", nullptr, 15000 },
    { "Y axis max feed (mm/min)", nullptr, 14000 },
    { "Z axis max feed (mm/min)", nullptr, 8000 },
    { "X axis steps per mm", nullptr, 800 },
    { "Y axis steps per mm", nullptr, 640 },
    { "Z axis steps per mm", nullptr, 1600 },
    { "Coolant pump on delay (ms)", nullptr, 300 },
    { "Coolant low level alarm (0=off 1=on)", nullptr, 1 },
    { "Air pressure minimum (0.01 bar)", nullptr, 550 },
    { "Vacuum hold threshold (mbar)", nullptr, -650 },
    { "Fan 1 duty cycle (pct)", nullptr, 60 },
    { "Fan 2 duty cycle (pct)", nullptr, 45 },
    { "Lubrication interval (min)", nullptr, 240 },
    { "Lubrication pulse (ms)", nullptr, 800 },
    { "Operating hours counter (h)", nullptr, 12873 },
    { "Power-on counter", nullptr, 3412 },
    { "Tool changer slots", nullptr, 12 },
    { "Tool change timeout (s)", nullptr, 20 },
    { "Encoder resolution (ppr)", nullptr, 2048 },
    { "Servo gain Kp", "1.25", 0 },
    { "Servo gain Ki", "0.040", 0 },
    { "Servo gain Kd", "0.008", 0 },
    { "RS485 node address", nullptr, 7 },
    { "Display brightness (pct)", nullptr, 80 },
    { "Language code", "EN", 0 },
    { "Watchdog timeout (ms)", nullptr, 250 },
    { "Mains voltage nominal (V)", nullptr, 230 },
    { "Motor current limit (0.1 A)", nullptr, 85 },
    { "Belt tension alarm (N)", nullptr, 450 },
    { "Spare", "0", 0 },
};
constexpr int kTemplateCount = int(std::size(kTemplates));

bool isHexText(const QString &text)
{
    if (text.isEmpty())
        return false;
    for (const QChar c : text) {
        if (!((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F') || (c >= u'a' && c <= u'f')))
            return false;
    }
    return true;
}

} // namespace

QString boardPageText(qint64 page) { return PageNumberToHex(int(page), kPageTextWidth); }

QList<BoardParameter> generatedBoardParameters(int lastPage)
{
    QList<BoardParameter> table;
    table.append({ QString::number(lastPage), QStringLiteral("Last parameter page") });
    for (int page = 1; page <= lastPage; ++page) {
        const ParameterTemplate &t = kTemplates[(page - 1) % kTemplateCount];
        // Past the end of the list the pages repeat as further banks with shifted numbers.
        const int bank = (page - 1) / kTemplateCount;
        QString description = QString::fromLatin1(t.description);
        if (bank > 0)
            description = QStringLiteral("Bank %1 %2").arg(bank + 1).arg(description);
        const QString value
            = t.text ? QString::fromLatin1(t.text) : QString::number(t.number + bank);
        table.append({ value, description });
    }
    return table;
}

bool readNvrTable(const QString &path, QList<BoardParameter> &table, QString &error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString();
        return false;
    }
    QList<BoardParameter> loaded;
    NvrLineReader reader(&file);
    NvrParameter parameter;
    while (reader.next(parameter)) {
        const qint64 page = isHexText(parameter.pageText) && parameter.pageText.size() <= 8
            ? parameter.pageText.toLongLong(nullptr, 16)
            : -1;
        if (page < 0 || page > kMaxNvrPage) {
            error = QStringLiteral("%1: page text \"%2\" is not a page")
                        .arg(path, parameter.pageText);
            return false;
        }
        if (loaded.size() <= page)
            loaded.resize(page + 1);
        loaded[page] = { parameter.value, parameter.description };
    }
    table = loaded;
    return true;
}

bool writeNvrTable(const QString &path, const QList<BoardParameter> &table, QString &error)
{
    QString text = NvrHeaderLine() + u'\n';
    for (qsizetype page = 0; page < table.size(); ++page)
        text
            += NvrDataLine(boardPageText(page), table[page].value, table[page].description) + u'\n';
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text.toUtf8()) < 0
        || !file.flush()) {
        error = file.errorString();
        return false;
    }
    return true;
}
