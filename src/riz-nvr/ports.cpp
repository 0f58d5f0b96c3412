// The serial ports the system lists, and the program that holds each.
#include "ports.h"

#include "link/portmessages.h"
#include "nvrtext.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>

namespace {

const QString kByIdFolder = QStringLiteral("/dev/serial/by-id");

QString byIdLink(const QString &location)
{
    const QString node = QFileInfo(location).canonicalFilePath();
    if (node.isEmpty())
        return {};
    const QFileInfoList links = QDir(kByIdFolder).entryInfoList(QDir::Files | QDir::System);
    for (const QFileInfo &link : links) {
        if (link.isSymLink() && link.canonicalFilePath() == node)
            return link.absoluteFilePath();
    }
    return {};
}

} // namespace

QList<PortListing> ListPorts()
{
    QList<PortListing> ports;
    const QList<QSerialPortInfo> infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : infos) {
        ports << PortListing { info.portName(), info.description(), info.manufacturer(),
            info.serialNumber(), byIdLink(info.systemLocation()),
            PortHolder(info.systemLocation()) };
    }
    return ports;
}

QByteArray PortsText(const QList<PortListing> &ports)
{
    QString text;
    for (const PortListing &port : ports) {
        QStringList facts;
        const auto add = [&facts](const QString &label, const QString &fact) {
            if (!fact.isEmpty())
                facts << label + EscapedText(fact);
        };
        add(QStringLiteral("description "), port.description);
        add(QStringLiteral("manufacturer "), port.manufacturer);
        add(QStringLiteral("serial number "), port.serialNumber);
        add(QString(), port.byIdLink);
        if (port.holder)
            add(QString(), PortInUseText(*port.holder));
        text += EscapedText(port.name);
        if (!facts.isEmpty())
            text += QStringLiteral(": ") + facts.join(QStringLiteral(", "));
        text += QLatin1Char('\n');
    }
    return text.toUtf8();
}

// The members in the order Qt's documents have them, sorted by key.
QByteArray PortsJson(const QList<PortListing> &ports)
{
    QByteArray json;
    JsonWriter writer(json);
    writer.openArray();
    for (const PortListing &port : ports) {
        writer.openObject();
        writer.textOrNull("byId", port.byIdLink, !port.byIdLink.isEmpty());
        writer.text("description", port.description);
        if (port.holder) {
            writer.openObject("inUseBy");
            writer.number("pid", port.holder->pid);
            writer.textOrNull("program", port.holder->name, !port.holder->name.isEmpty());
            writer.close();
        } else {
            writer.textOrNull("inUseBy", {}, false);
        }
        writer.text("manufacturer", port.manufacturer);
        writer.text("name", port.name);
        writer.text("serialNumber", port.serialNumber);
        writer.close();
    }
    writer.close();
    return json;
}

int PortsCommand(
    const Subcommand &command, QCommandLineParser &parser, const QStringList &arguments)
{
    DescribeSubcommand(command, parser,
        QStringLiteral(
            "Lists the serial ports, one a line: the name, the description, manufacturer and "
            "serial\n"
            "number the system reports, the /dev/serial/by-id/ link, and the program that holds\n"
            "the port. No port is opened to find out. ")
            + ExitStatusText({ { kExitClean, QStringLiteral("listed") },
                { kExitTrouble, QStringLiteral("trouble") } }));
    const QCommandLineOption jsonOption(
        QStringLiteral("json"), QStringLiteral("Print the list as one JSON array."));
    parser.addOption(jsonOption);
    if (const std::optional<int> status = ParseCommandLine(parser, arguments))
        return *status;
    if (parser.positionalArguments().size() != 1)
        return UsageError(QStringLiteral("ports takes no arguments"));
    const QList<PortListing> listing = ListPorts();
    if (listing.isEmpty() && !parser.isSet(jsonOption))
        Tell(QStringLiteral("no serial port found"));
    WriteOut(parser.isSet(jsonOption) ? PortsJson(listing) : PortsText(listing));
    return kExitClean;
}
