#include "core/PartialItem.h"

#include "core/Errors.h"
#include "core/Files.h"
#include "core/Log.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>

namespace trellium {

namespace {

QSet<QString> &held()
{
    static QSet<QString> paths;
    return paths;
}

void removeQuietly(const QString &path)
{
    try {
        removeItem(path);
    } catch (const std::exception &error) {
        logLine(QStringLiteral("Partial item not removed:"), describeError(error));
    }
}

} // namespace

PartialItem::PartialItem(const QString &finalPath)
{
    static const bool quitHooked = [] {
        if (auto *application = QCoreApplication::instance())
            QObject::connect(application, &QCoreApplication::aboutToQuit, application, &PartialItem::removeAll);
        return true;
    }();
    Q_UNUSED(quitHooked);

    const QFileInfo target(finalPath);
    const QString folder = target.absolutePath();
    if (isDirectory(folder)) {
        for (const QString &name : listDirectory(folder)) {
            const QString path = folder + QLatin1Char('/') + name;
            if (isPartialName(name) && !held().contains(path))
                removeQuietly(path);
        }
    }
    m_path = folder + QStringLiteral("/.") + target.fileName() + QStringLiteral(".trellium-partial-")
        + QStringLiteral("%1").arg(QRandomGenerator::global()->generate64(), 16, 16, QLatin1Char('0'));
    held().insert(m_path);
}

PartialItem::~PartialItem()
{
    held().remove(m_path);
    if (!m_kept)
        removeQuietly(m_path);
}

void PartialItem::keep()
{
    m_kept = true;
}

bool PartialItem::isPartialName(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("^\\..+\\.trellium-partial-[0-9a-f]{16}$"));
    return pattern.match(name).hasMatch();
}

void PartialItem::removeAll()
{
    for (const QString &path : std::as_const(held()))
        removeQuietly(path);
}

} // namespace trellium
