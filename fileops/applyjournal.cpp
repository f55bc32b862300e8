#include "fileops/applyjournal.h"

#include "fileops/durablefile.h"
#include "fileops/safepath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace {

// Far above any real release, small enough to read without worry.
constexpr qint64 kMaxJournalBytes = 32 * 1024 * 1024;
constexpr int kMaxEntries = 200000;

const char *const kPhases[] = {"backing-up", "backed-up", "replacing", "replaced", "handed-to-helper"};

bool isAbsoluteDir(const QString &dir)
{
    return !dir.isEmpty() && dir.size() < 4096 && QDir::isAbsolutePath(dir) && dir.endsWith(QLatin1Char('/'));
}

// @p dir relative to @p appDir when it lies inside it, else unchanged.
QString stored(const QString &appDir, const QString &dir)
{
    return dir.startsWith(appDir) && dir.size() > appDir.size() ? dir.mid(appDir.size()) : dir;
}

// A stored directory back in absolute form; @p inside tells whether it was
// stored relative. The empty text for a relative one that could leave.
QString resolved(const QString &appDir, const QString &value, bool *inside)
{
    *inside = !value.isEmpty() && !QDir::isAbsolutePath(value);
    if (!*inside)
        return value;
    return SafePath::isSafeRelativePath(value.left(value.size() - 1)) ? appDir + value : QString();
}

} // namespace

QString ApplyJournal::pathIn(const QString &backupDir)
{
    return backupDir + QStringLiteral("apply.journal");
}

QString ApplyJournal::locatorPath(const QString &appDir)
{
    return appDir + QStringLiteral(".update-apply");
}

QString ApplyJournal::locatorText(const QString &appDir, const QString &journalPath)
{
    return stored(appDir, journalPath);
}

QString ApplyJournal::namedBy(const QString &appDir)
{
    QFile locator(locatorPath(appDir));
    if (!locator.open(QIODevice::ReadOnly))
        return QString();
    const QString text = QString::fromUtf8(locator.read(4096));
    if (text.isEmpty() || QDir::isAbsolutePath(text))
        return text;
    return SafePath::isSafeRelativePath(text) ? appDir + text : QString();
}

QString ApplyJournal::phaseName(Phase phase)
{
    return QString::fromLatin1(kPhases[static_cast<int>(phase)]);
}

bool ApplyJournal::save(const QString &path, QString *why) const
{
    QJsonArray list;
    for (const Entry &entry : entries) {
        QJsonObject item;
        item.insert(QStringLiteral("target"), entry.target);
        item.insert(QStringLiteral("existed"), entry.existed);
        if (entry.viaHelper)
            item.insert(QStringLiteral("viaHelper"), true);
        if (!entry.createdDir.isEmpty())
            item.insert(QStringLiteral("createdDir"), entry.createdDir);
        list.append(item);
    }
    QJsonObject root;
    root.insert(QStringLiteral("appDir"), appDir);
    root.insert(QStringLiteral("tempDir"), stored(appDir, tempDir));
    root.insert(QStringLiteral("backupDir"), stored(appDir, backupDir));
    root.insert(QStringLiteral("updateTmpDir"), stored(appDir, updateTmpDir));
    if (!helper.isEmpty())
        root.insert(QStringLiteral("helper"), helper);
    root.insert(QStringLiteral("version"), version);
    root.insert(QStringLiteral("phase"), phaseName(phase));
    root.insert(QStringLiteral("entries"), list);

    DurableFile::operationPoint();
    // QSaveFile writes a temporary file, flushes it to disk and renames it.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(root).toJson()) < 0 || !file.commit()) {
        *why = file.errorString();
        return false;
    }
    DurableFile::flushDirectory(QFileInfo(path).absolutePath());
    return true;
}

bool ApplyJournal::load(const QString &path, ApplyJournal *out, QString *why, const QString &appDir)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = file.errorString();
        return false;
    }
    if (file.size() > kMaxJournalBytes) {
        *why = QStringLiteral("too large");
        return false;
    }
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
    if (!doc.isObject()) {
        *why = error.errorString();
        return false;
    }
    const QJsonObject root = doc.object();
    ApplyJournal journal;
    journal.recordedAppDir = root.value(QStringLiteral("appDir")).toString();
    journal.appDir = appDir.isEmpty() ? journal.recordedAppDir : appDir;
    bool tempInside = false;
    bool backupInside = false;
    bool updateTmpInside = false;
    journal.tempDir = resolved(journal.appDir, root.value(QStringLiteral("tempDir")).toString(), &tempInside);
    journal.backupDir = resolved(journal.appDir, root.value(QStringLiteral("backupDir")).toString(), &backupInside);
    journal.updateTmpDir =
        resolved(journal.appDir, root.value(QStringLiteral("updateTmpDir")).toString(), &updateTmpInside);
    journal.allInside = tempInside && backupInside && updateTmpInside;
    journal.helper = root.value(QStringLiteral("helper")).toString();
    journal.version = root.value(QStringLiteral("version")).toString();
    if (!isAbsoluteDir(journal.recordedAppDir) || !isAbsoluteDir(journal.appDir) || !isAbsoluteDir(journal.tempDir)
        || !isAbsoluteDir(journal.backupDir) || !isAbsoluteDir(journal.updateTmpDir)
        || !SafePath::isSafeRelativePath(journal.helper)) {
        *why = QStringLiteral("bad directories");
        return false;
    }
    const QString phase = root.value(QStringLiteral("phase")).toString();
    bool known = false;
    for (int i = 0; i < 5; ++i) {
        if (phase == QLatin1String(kPhases[i])) {
            journal.phase = static_cast<Phase>(i);
            known = true;
        }
    }
    const QJsonArray list = root.value(QStringLiteral("entries")).toArray();
    if (!known || list.size() > kMaxEntries) {
        *why = QStringLiteral("bad phase or entry count");
        return false;
    }
    for (const QJsonValue &value : list) {
        const QJsonObject item = value.toObject();
        Entry entry;
        entry.target = item.value(QStringLiteral("target")).toString();
        entry.existed = item.value(QStringLiteral("existed")).toBool();
        entry.viaHelper = item.value(QStringLiteral("viaHelper")).toBool();
        entry.createdDir = item.value(QStringLiteral("createdDir")).toString();
        // A journal is ours, but a damaged one must still never lead outside
        // the installation.
        if (entry.target.isEmpty() || entry.target.startsWith(QLatin1Char('/'))
            || !SafePath::isSafeRelativePath(entry.target)
            || !SafePath::isSafeRelativePath(entry.createdDir)) {
            *why = QStringLiteral("unsafe entry: ") + entry.target.left(200);
            return false;
        }
        journal.entries.append(entry);
    }
    *out = journal;
    return true;
}
