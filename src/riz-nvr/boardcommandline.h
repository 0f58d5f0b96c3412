// The command lines of the subcommands that talk to the board: read, write, verify and backup.
#pragma once

#include "commandline.h"

int ReadCommand(
    const Subcommand &command, QCommandLineParser &parser, const QStringList &arguments);
int WriteCommand(
    const Subcommand &command, QCommandLineParser &parser, const QStringList &arguments);
int VerifyCommand(
    const Subcommand &command, QCommandLineParser &parser, const QStringList &arguments);
int BackupCommand(
    const Subcommand &command, QCommandLineParser &parser, const QStringList &arguments);
