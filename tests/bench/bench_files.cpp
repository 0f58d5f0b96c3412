// Runs riz-nvr check and diff on large parameter files as processes, and prints the peak
// resident memory and the wall time of each.
#include "boardtable.h"
#include "nvram/nvrformat.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <malloc.h>
#include <optional>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

constexpr double kMiB = 1024.0 * 1024.0;
// Each command may take at most this many times the size of the files it is given.
constexpr double kMemoryLimitRatio = 10.0;

struct ChildRun {
    int exitCode = -1;
    double seconds = 0;
    qint64 peakRssBytes = 0;
};

// The resident size of this process now, from /proc/self/statm.
qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    return statm.readAll().split(' ').value(1).toLongLong() * ::sysconf(_SC_PAGESIZE);
}

// The child's own peak from the kernel's accounting (wait4), not sampled; its output is
// thrown away, its messages go to this program's standard error. The kernel counts the peak of
// the spawning process towards the child's, so that peak is first lowered to what is resident
// now: well below any child's own.
std::optional<ChildRun> runChild(const QString &program, const QStringList &arguments)
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    if (!clearRefs.open(QIODevice::WriteOnly) || clearRefs.write("5") != 1)
        return std::nullopt;
    clearRefs.close();
    QList<QByteArray> encoded { QFile::encodeName(program) };
    for (const QString &argument : arguments)
        encoded << QFile::encodeName(argument);
    std::vector<char *> argv;
    for (QByteArray &argument : encoded)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    QElapsedTimer timer;
    timer.start();
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return std::nullopt;
    int status = 0;
    rusage usage {};
    while (::wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR)
            return std::nullopt;
    }
    ChildRun run;
    run.seconds = double(timer.nsecsElapsed()) / 1e9;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.peakRssBytes = qint64(usage.ru_maxrss) * 1024;
    return run;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush();
}

QByteArray nvrText(const QList<BoardParameter> &table)
{
    QByteArray text = NvrHeaderLine().toUtf8() + '\n';
    for (int page = 0; page < table.size(); ++page) {
        text += NvrDataLine(PageNumberToHex(page, 4), table[page].value, table[page].description)
                    .toUtf8()
            + '\n';
    }
    return text;
}

// A backup as the read writes it, of the simulated board's pages, about bytes long.
QByteArray realisticFile(qint64 bytes, QList<BoardParameter> &table)
{
    // Lines grow with the page number: a first guess from short lines, then cut to size.
    table = generatedBoardParameters(int(bytes / 30));
    qint64 size = NvrHeaderLine().size() + 1;
    int pages = 0;
    while (pages < table.size() && size < bytes) {
        size += NvrDataLine(PageNumberToHex(pages, 4), table[pages].value, table[pages].description)
                    .toUtf8()
                    .size()
            + 1;
        ++pages;
    }
    table.resize(pages);
    table[0].value = QString::number(pages - 1);
    return nvrText(table);
}

// The same board at a later visit: some values and descriptions changed, some pages gone and
// some added at the end.
QByteArray laterFile(QList<BoardParameter> table)
{
    const int added = int(table.size() / 100);
    for (int page = 1; page <= added; ++page)
        table.append({ QString::number(page), QStringLiteral("Added parameter %1").arg(page) });
    table[0].value = QString::number(table.size() - 1);
    QByteArray text = NvrHeaderLine().toUtf8() + '\n';
    for (int page = 0; page < table.size(); ++page) {
        if (page % 200 == 199)
            continue;
        BoardParameter parameter = table[page];
        if (page % 20 == 7)
            parameter.value += QStringLiteral("1");
        if (page % 100 == 13)
            parameter.description += QStringLiteral(" (new)");
        text += NvrDataLine(PageNumberToHex(page, 4), parameter.value, parameter.description)
                    .toUtf8()
            + '\n';
    }
    return text;
}

// The same board with every value changed: the largest result a diff of the two can give.
QByteArray everyValueChanged(QList<BoardParameter> table)
{
    for (BoardParameter &parameter : table)
        parameter.value += QStringLiteral("1");
    return nvrText(table);
}

int fail(const QString &message)
{
    std::fprintf(stderr, "bench_files: %s\n", qPrintable(message));
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Makes a realistic parameter file, the same board at a later visit, the same board with "
        "every value changed and a file of \"|\" characters, runs riz-nvr check and diff on them, "
        "and prints each run's peak resident memory and wall time."));
    parser.addHelpOption();
    const QCommandLineOption megabytesOption(QStringLiteral("megabytes"),
        QStringLiteral("Size of each file in MiB (default 60)."), QStringLiteral("N"),
        QStringLiteral("60"));
    const QCommandLineOption toolOption(QStringLiteral("riz-nvr"),
        QStringLiteral("The riz-nvr to run (default: the one built with this benchmark)."),
        QStringLiteral("PATH"), QStringLiteral(RIZ_NVR_EXE));
    parser.addOptions({ megabytesOption, toolOption });
    parser.process(app);

    bool ok = false;
    const int megabytes = parser.value(megabytesOption).toInt(&ok);
    if (!ok || megabytes < 1)
        return fail(QStringLiteral("--megabytes needs a whole number of at least 1"));
    const qint64 bytes = qint64(megabytes) << 20;
    const QString tool = parser.value(toolOption);

    QTemporaryDir dir;
    if (!dir.isValid())
        return fail(QStringLiteral("cannot create a temporary folder: ") + dir.errorString());
    const QString oldPath = dir.filePath(QStringLiteral("old.nvr"));
    const QString newPath = dir.filePath(QStringLiteral("new.nvr"));
    const QString everyPath = dir.filePath(QStringLiteral("every.nvr"));
    const QString barsPath = dir.filePath(QStringLiteral("bars.nvr"));
    {
        QList<BoardParameter> table;
        const QByteArray header = NvrHeaderLine().toUtf8() + '\n';
        if (!writeFile(oldPath, realisticFile(bytes, table))
            || !writeFile(newPath, laterFile(table))
            || !writeFile(everyPath, everyValueChanged(table))
            || !writeFile(barsPath, header + QByteArray(bytes - header.size() - 1, '|') + '\n'))
            return fail(QStringLiteral("cannot write the files in ") + dir.path());
    }
    // What making the files took is given back, so that it does not count towards the runs.
    malloc_trim(0);

    struct Case {
        const char *name;
        QStringList arguments;
        QStringList files;
        int exitCode;
    };
    const QList<Case> cases {
        { "check", { QStringLiteral("check"), oldPath }, { oldPath }, 0 },
        { "check bars", { QStringLiteral("check"), barsPath }, { barsPath }, 1 },
        { "diff", { QStringLiteral("diff"), oldPath, newPath }, { oldPath, newPath }, 1 },
        { "diff --json", { QStringLiteral("diff"), QStringLiteral("--json"), oldPath, newPath },
            { oldPath, newPath }, 1 },
        { "diff all", { QStringLiteral("diff"), oldPath, everyPath }, { oldPath, everyPath }, 1 },
        { "diff all --json",
            { QStringLiteral("diff"), QStringLiteral("--json"), oldPath, everyPath },
            { oldPath, everyPath }, 1 },
    };
    std::printf("%s (this program: %.1f MiB resident, the floor of each peak)\n", qPrintable(tool),
        double(residentBytes()) / kMiB);
    int result = 0;
    for (const Case &c : cases) {
        qint64 inputBytes = 0;
        for (const QString &file : c.files)
            inputBytes += QFile(file).size();
        const std::optional<ChildRun> run = runChild(tool, c.arguments);
        if (!run) {
            result = fail(QStringLiteral("cannot run %1, or cannot reset this program's peak "
                                         "resident size")
                              .arg(tool));
            continue;
        }
        const double ratio = double(run->peakRssBytes) / double(inputBytes);
        std::printf("%-15s %7.1f MiB in: peak RSS %7.1f MiB (%5.2f times the input), %7.2f s, "
                    "exit %d\n",
            c.name, double(inputBytes) / kMiB, double(run->peakRssBytes) / kMiB, ratio,
            run->seconds, run->exitCode);
        std::fflush(stdout);
        if (run->exitCode != c.exitCode) {
            result = fail(QStringLiteral("%1 exited with %2, not %3")
                              .arg(QLatin1String(c.name))
                              .arg(run->exitCode)
                              .arg(c.exitCode));
        } else if (ratio > kMemoryLimitRatio) {
            result = fail(QStringLiteral("%1 took more than %2 times the size of its input")
                              .arg(QLatin1String(c.name))
                              .arg(kMemoryLimitRatio));
        }
    }
    return result;
}
