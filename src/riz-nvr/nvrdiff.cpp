// Comparing two backups page by page.
#include "nvrdiff.h"

#include "nvram/writerule.h"
#include "nvrtext.h"

#include <QIODevice>

#include <algorithm>

namespace {

// The order of PageTextLess, without making a page text again for every comparison.
bool pageLess(const NvrBackup::Page &a, const NvrBackup::Page &b)
{
    if ((a.number >= 0) != (b.number >= 0))
        return a.number >= 0;
    return a.number >= 0 ? a.number < b.number : a.pageText < b.pageText;
}

QString quoted(QStringView text) { return QuotedText(text.toString()); }

QString withDescription(const QString &text, const NvrBackup::Page &page)
{
    return page.hasDescription
        ? text + QStringLiteral(" (") + EscapedText(page.description.toString()) + QLatin1Char(')')
        : text;
}

void pageJson(JsonWriter &json, const NvrBackup::Page &page)
{
    json.openObject();
    json.textOrNull("description", page.description, page.hasDescription);
    json.text("page", page.pageText);
    json.text("value", page.value);
    json.close();
}

// The changes of one kind, in page order.
template <typename Wanted, typename Write>
void changesJson(JsonWriter &json, const char *key, const NvrDiff &diff, Wanted wanted, Write write)
{
    json.openArray(key);
    for (const NvrDiff::Change &change : diff.changes) {
        if (wanted(change))
            write(change);
    }
    json.close();
}

} // namespace

NvrBackup::Page NvrBackup::page(qsizetype index) const
{
    const Entry &entry = m_pages[size_t(index)];
    const QStringView text(m_text);
    return { text.mid(entry.start, entry.pageTextLength),
        text.mid(entry.start + entry.pageTextLength, entry.valueLength),
        text.mid(entry.start + entry.pageTextLength + entry.valueLength, entry.descriptionLength),
        entry.hasDescription, entry.number };
}

QStringView NvrBackup::pageTextOf(const Entry &entry) const
{
    return QStringView(m_text).mid(entry.start, entry.pageTextLength);
}

void NvrBackup::add(const NvrParameter &parameter)
{
    Entry entry;
    entry.start = m_text.size();
    entry.pageTextLength = int(parameter.pageText.size());
    entry.valueLength = int(parameter.value.size());
    entry.descriptionLength = int(parameter.description.size());
    entry.hasDescription = parameter.hasDescription;
    entry.lineNumber = parameter.lineNumber;
    if (!PageTextToNumber(parameter.pageText, &entry.number))
        entry.number = -1;
    m_text += parameter.pageText;
    m_text += parameter.value;
    m_text += parameter.description;
    m_pages.push_back(entry);
}

// A page twice in one backup leaves open which of its lines the board holds; a backup made by
// the read never has one, so such a file is refused rather than compared by a guess. The first
// line that gives a page again is named, as a walk through the file would find it.
void NvrBackup::finish()
{
    const auto less = [this](const Entry &a, const Entry &b) {
        return pageLess(Page { pageTextOf(a), {}, {}, false, a.number },
            Page { pageTextOf(b), {}, {}, false, b.number });
    };
    // A file that the read wrote is in page order already.
    if (!std::is_sorted(m_pages.begin(), m_pages.end(), less))
        std::stable_sort(m_pages.begin(), m_pages.end(), less);
    const Entry *again = nullptr;
    const Entry *first = nullptr;
    for (size_t i = 1; i < m_pages.size(); ++i) {
        const Entry &previous = m_pages[i - 1];
        const Entry &current = m_pages[i];
        if (less(previous, current))
            continue;
        // The lines of one page keep their file order: previous is the page's first line,
        // current the first that gives it again.
        if (!again || current.lineNumber < again->lineNumber) {
            again = &current;
            first = &previous;
        }
        while (i + 1 < m_pages.size() && !less(m_pages[i], m_pages[i + 1]))
            ++i;
    }
    if (again) {
        trouble = QStringLiteral("page %1 again (first on line %2)")
                      .arg(quoted(pageTextOf(*again)), QString::number(first->lineNumber));
        troubleLine = again->lineNumber;
    }
}

NvrBackup ReadNvrBackup(QIODevice *device)
{
    NvrBackup backup;
    // The pages' characters all come from the file, and no encoding takes fewer bytes than
    // UTF-16 code units: one reservation holds them, and a file of 60 MB is never copied to grow.
    backup.reserve(device->size());
    NvrLineReader reader(device);
    NvrParameter parameter;
    while (reader.next(parameter))
        backup.add(parameter);
    backup.finish();
    return backup;
}

NvrBackup NvrBackupOf(const QList<NvrParameter> &pages)
{
    NvrBackup backup;
    for (const NvrParameter &page : pages)
        backup.add(page);
    backup.finish();
    return backup;
}

QString BackupTroubleText(const QString &name, const NvrBackup &backup)
{
    return FindingText(name,
        NvrFinding { backup.troubleLine, backup.trouble + QStringLiteral(": cannot compare") });
}

// Both backups are in page order: one walk through them side by side.
NvrDiff DiffNvrBackups(const NvrBackup &oldBackup, const NvrBackup &newBackup)
{
    NvrDiff diff;
    diff.oldBackup = &oldBackup;
    diff.newBackup = &newBackup;
    qsizetype oldIndex = 0;
    qsizetype newIndex = 0;
    while (oldIndex < oldBackup.size() || newIndex < newBackup.size()) {
        ++diff.pages;
        const bool oldLeft = oldIndex < oldBackup.size();
        const bool newLeft = newIndex < newBackup.size();
        const NvrBackup::Page before = oldLeft ? oldBackup.page(oldIndex) : NvrBackup::Page();
        const NvrBackup::Page after = newLeft ? newBackup.page(newIndex) : NvrBackup::Page();
        if (!newLeft || (oldLeft && pageLess(before, after))) {
            diff.changes.push_back({ oldIndex++, -1, false, false });
            ++diff.removed;
            continue;
        }
        if (!oldLeft || pageLess(after, before)) {
            diff.changes.push_back({ -1, newIndex++, false, false });
            ++diff.added;
            continue;
        }
        NvrDiff::Change change { oldIndex++, newIndex++, before.value != after.value,
            before.hasDescription && after.hasDescription
                && before.description != after.description };
        diff.valuesChanged += change.valueChanged;
        diff.descriptionsChanged += change.descriptionChanged;
        if (change.valueChanged || change.descriptionChanged)
            diff.changes.push_back(change);
        else
            ++diff.unchangedPages;
    }
    return diff;
}

QByteArray DiffText(const NvrDiff &diff)
{
    QByteArray text;
    for (const NvrDiff::Change &change : diff.changes) {
        QString lines;
        if (change.oldIndex < 0) {
            const NvrBackup::Page page = diff.newBackup->page(change.newIndex);
            lines = QStringLiteral("page %1 added: %2\n")
                        .arg(EscapedText(page.pageText.toString()),
                            withDescription(quoted(page.value), page));
        } else if (change.newIndex < 0) {
            const NvrBackup::Page page = diff.oldBackup->page(change.oldIndex);
            lines = QStringLiteral("page %1 removed: %2\n")
                        .arg(EscapedText(page.pageText.toString()),
                            withDescription(quoted(page.value), page));
        } else {
            const NvrBackup::Page before = diff.oldBackup->page(change.oldIndex);
            const NvrBackup::Page after = diff.newBackup->page(change.newIndex);
            const QString pageText = EscapedText(after.pageText.toString());
            if (change.valueChanged) {
                lines += QStringLiteral("page %1 value changed: %2\n")
                             .arg(pageText,
                                 withDescription(quoted(before.value) + QStringLiteral(" -> ")
                                         + quoted(after.value),
                                     after));
            }
            if (change.descriptionChanged) {
                lines += QStringLiteral("page %1 description changed: %2 -> %3\n")
                             .arg(pageText, quoted(before.description), quoted(after.description));
            }
        }
        text += lines.toUtf8();
    }
    text += QStringLiteral("%1 added, %2 removed, %3 changed, %4 changed; %5 of %6 unchanged\n")
                .arg(QString::number(diff.added), QString::number(diff.removed),
                    CountOf(diff.valuesChanged, QStringLiteral("value")),
                    CountOf(diff.descriptionsChanged, QStringLiteral("description")),
                    QString::number(diff.unchangedPages),
                    CountOf(diff.pages, QStringLiteral("page")))
                .toUtf8();
    return text;
}

QByteArray DiffJson(const NvrDiff &diff)
{
    QByteArray text;
    JsonWriter json(text);
    json.openObject();
    changesJson(
        json, "added", diff, [](const NvrDiff::Change &change) { return change.oldIndex < 0; },
        [&](const NvrDiff::Change &change) {
            pageJson(json, diff.newBackup->page(change.newIndex));
        });
    json.openObject("counts");
    json.number("added", diff.added);
    json.number("descriptionsChanged", diff.descriptionsChanged);
    json.number("pages", diff.pages);
    json.number("removed", diff.removed);
    json.number("unchanged", diff.unchangedPages);
    json.number("valuesChanged", diff.valuesChanged);
    json.close();
    changesJson(
        json, "descriptionsChanged", diff,
        [](const NvrDiff::Change &change) { return change.descriptionChanged; },
        [&](const NvrDiff::Change &change) {
            json.openObject();
            json.text("new", diff.newBackup->page(change.newIndex).description);
            json.text("old", diff.oldBackup->page(change.oldIndex).description);
            json.text("page", diff.newBackup->page(change.newIndex).pageText);
            json.close();
        });
    changesJson(
        json, "removed", diff, [](const NvrDiff::Change &change) { return change.newIndex < 0; },
        [&](const NvrDiff::Change &change) {
            pageJson(json, diff.oldBackup->page(change.oldIndex));
        });
    changesJson(
        json, "valuesChanged", diff,
        [](const NvrDiff::Change &change) { return change.valueChanged; },
        [&](const NvrDiff::Change &change) {
            const NvrBackup::Page after = diff.newBackup->page(change.newIndex);
            json.openObject();
            json.textOrNull("description", after.description, after.hasDescription);
            json.text("new", after.value);
            json.text("old", diff.oldBackup->page(change.oldIndex).value);
            json.text("page", after.pageText);
            json.close();
        });
    json.close();
    return text;
}
