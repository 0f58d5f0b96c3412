// Comparing two backups page by page.
#include "nvrdiff.h"

#include "nvrtext.h"

#include <QIODevice>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <map>
#include <utility>

namespace {

struct PageOrder {
    bool operator()(const QString &a, const QString &b) const { return PageTextLess(a, b); }
};

using PageMap = std::map<QString, NvrParameter, PageOrder>;

PageMap byPage(const QList<NvrParameter> &pages)
{
    PageMap map;
    for (const NvrParameter &page : pages)
        map.emplace(page.pageText, page);
    return map;
}

QString withDescription(const QString &text, const QString &description, bool hasDescription)
{
    return hasDescription
        ? text + QStringLiteral(" (") + EscapedText(description) + QLatin1Char(')')
        : text;
}

QJsonValue optionalText(const QString &text, bool present)
{
    return present ? QJsonValue(text) : QJsonValue(QJsonValue::Null);
}

QJsonArray pagesJson(const QList<NvrParameter> &pages)
{
    QJsonArray array;
    for (const NvrParameter &page : pages) {
        array.append(QJsonObject { { QStringLiteral("page"), page.pageText },
            { QStringLiteral("value"), page.value },
            { QStringLiteral("description"),
                optionalText(page.description, page.hasDescription) } });
    }
    return array;
}

QJsonArray changesJson(const QList<NvrChange> &changes, bool withDescription)
{
    QJsonArray array;
    for (const NvrChange &change : changes) {
        QJsonObject object { { QStringLiteral("page"), change.pageText },
            { QStringLiteral("old"), change.oldText }, { QStringLiteral("new"), change.newText } };
        if (withDescription) {
            object.insert(QStringLiteral("description"),
                optionalText(change.description, change.hasDescription));
        }
        array.append(object);
    }
    return array;
}

} // namespace

// A page twice in one backup leaves open which of its lines the board holds; a backup made by
// the read never has one, so such a file is refused rather than compared by a guess.
QString BackupTroubleText(const QString &name, const NvrBackup &backup)
{
    return QStringLiteral("%1:%2: %3: cannot compare")
        .arg(EscapedText(name), QString::number(backup.troubleLine), backup.trouble);
}

NvrBackup ReadNvrBackup(QIODevice *device)
{
    NvrBackup backup;
    PageMap pages;
    NvrLineReader reader(device);
    NvrParameter parameter;
    while (reader.next(parameter)) {
        const auto [it, inserted] = pages.emplace(parameter.pageText, parameter);
        if (!inserted) {
            backup.trouble
                = QStringLiteral("page %1 again (first on line %2)")
                      .arg(QuotedText(parameter.pageText), QString::number(it->second.lineNumber));
            backup.troubleLine = parameter.lineNumber;
            return backup;
        }
    }
    for (auto &entry : pages)
        backup.pages << std::move(entry.second);
    return backup;
}

// A two-field line carries no description; there is then nothing to compare it with.
NvrDiff DiffNvrBackups(const NvrBackup &oldBackup, const NvrBackup &newBackup)
{
    const PageMap oldPages = byPage(oldBackup.pages);
    const PageMap newPages = byPage(newBackup.pages);
    PageMap allPages = newPages;
    allPages.insert(oldPages.begin(), oldPages.end());

    NvrDiff diff;
    diff.pages = int(allPages.size());
    for (const auto &[pageText, any] : allPages) {
        const auto oldPage = oldPages.find(pageText);
        const auto newPage = newPages.find(pageText);
        if (oldPage == oldPages.end()) {
            diff.added << newPage->second;
            continue;
        }
        if (newPage == newPages.end()) {
            diff.removed << oldPage->second;
            continue;
        }
        const NvrParameter &before = oldPage->second;
        const NvrParameter &after = newPage->second;
        bool changed = false;
        if (before.value != after.value) {
            diff.valuesChanged << NvrChange { pageText, before.value, after.value,
                after.description, after.hasDescription };
            changed = true;
        }
        if (before.hasDescription && after.hasDescription
            && before.description != after.description) {
            diff.descriptionsChanged
                << NvrChange { pageText, before.description, after.description, QString(), false };
            changed = true;
        }
        if (!changed)
            ++diff.unchangedPages;
    }
    return diff;
}

QByteArray DiffText(const NvrDiff &diff)
{
    std::map<QString, QStringList, PageOrder> lines;
    for (const NvrParameter &page : diff.added) {
        lines[page.pageText] << QStringLiteral("page %1 added: %2")
                                    .arg(EscapedText(page.pageText),
                                        withDescription(QuotedText(page.value), page.description,
                                            page.hasDescription));
    }
    for (const NvrParameter &page : diff.removed) {
        lines[page.pageText] << QStringLiteral("page %1 removed: %2")
                                    .arg(EscapedText(page.pageText),
                                        withDescription(QuotedText(page.value), page.description,
                                            page.hasDescription));
    }
    for (const NvrChange &change : diff.valuesChanged) {
        lines[change.pageText] << QStringLiteral("page %1 value changed: %2")
                                      .arg(EscapedText(change.pageText),
                                          withDescription(QuotedText(change.oldText)
                                                  + QStringLiteral(" -> ")
                                                  + QuotedText(change.newText),
                                              change.description, change.hasDescription));
    }
    for (const NvrChange &change : diff.descriptionsChanged) {
        lines[change.pageText] << QStringLiteral("page %1 description changed: %2 -> %3")
                                      .arg(EscapedText(change.pageText), QuotedText(change.oldText),
                                          QuotedText(change.newText));
    }
    QString text;
    for (const auto &[pageText, pageLines] : lines)
        text += pageLines.join(QLatin1Char('\n')) + QLatin1Char('\n');
    text += QStringLiteral("%1 added, %2 removed, %3 changed, %4 changed; %5 of %6 unchanged\n")
                .arg(QString::number(diff.added.size()), QString::number(diff.removed.size()),
                    CountOf(diff.valuesChanged.size(), QStringLiteral("value")),
                    CountOf(diff.descriptionsChanged.size(), QStringLiteral("description")),
                    QString::number(diff.unchangedPages),
                    CountOf(diff.pages, QStringLiteral("page")));
    return text.toUtf8();
}

QByteArray DiffJson(const NvrDiff &diff)
{
    const QJsonObject counts { { QStringLiteral("added"), diff.added.size() },
        { QStringLiteral("removed"), diff.removed.size() },
        { QStringLiteral("valuesChanged"), diff.valuesChanged.size() },
        { QStringLiteral("descriptionsChanged"), diff.descriptionsChanged.size() },
        { QStringLiteral("unchanged"), diff.unchangedPages },
        { QStringLiteral("pages"), diff.pages } };
    const QJsonObject result { { QStringLiteral("added"), pagesJson(diff.added) },
        { QStringLiteral("removed"), pagesJson(diff.removed) },
        { QStringLiteral("valuesChanged"), changesJson(diff.valuesChanged, true) },
        { QStringLiteral("descriptionsChanged"), changesJson(diff.descriptionsChanged, false) },
        { QStringLiteral("counts"), counts } };
    return JsonText(QJsonDocument(result));
}
