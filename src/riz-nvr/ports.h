// The serial ports the system lists, and the program that holds each; riz-nvr ports.
#pragma once

#include "commandline.h"
#include "link/portholder.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

struct PortListing {
    QString name;
    // As the system reports them; empty when it does not.
    QString description;
    QString manufacturer;
    QString serialNumber;
    QString byIdLink; // the port's link in /dev/serial/by-id/; empty when there is none
    std::optional<PortHolderProcess> holder;
};

// Every port the system lists, in its order. No port is opened to find out who holds it.
QList<PortListing> ListPorts();

// One line per port: the name, then each fact there is.
QByteArray PortsText(const QList<PortListing> &ports);
QByteArray PortsJson(const QList<PortListing> &ports);

int PortsCommand(
    const Subcommand &command, QCommandLineParser &parser, const QStringList &arguments);
