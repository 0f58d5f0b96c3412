// The subcommands that work on files alone: check and diff.
#pragma once

#include "commandline.h"

int CheckCommand(
    const Subcommand &command, QCommandLineParser &parser, const QStringList &arguments);
int DiffCommand(
    const Subcommand &command, QCommandLineParser &parser, const QStringList &arguments);
