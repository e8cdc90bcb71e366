#include "runtime/RuntimeConfigValidator.h"

#include "core/Errors.h"
#include "core/Json.h"

#include <QRegularExpression>
#include <QTextBoundaryFinder>

namespace trellium::RuntimeConfigValidator {

namespace {

bool hasScalarOfCategory(const QString &text, std::initializer_list<QChar::Category> categories)
{
    for (const char32_t scalar : text.toUcs4()) {
        const QChar::Category category = QChar::category(scalar);
        for (const QChar::Category c : categories) {
            if (category == c)
                return true;
        }
    }
    return false;
}

qsizetype graphemeCount(const QString &text)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype count = 0;
    while (finder.toNextBoundary() >= 0)
        ++count;
    return count;
}

[[noreturn]] void reject(const QString &field, const QString &rule)
{
    throw DomainError(QStringLiteral("RuntimeConfig"), 1,
                      QStringLiteral("Ungültige Runtime-Konfiguration: %1 %2").arg(field, rule));
}

void requireRange(const QString &field, int64_t value, int64_t min, int64_t max)
{
    if (value < min || value > max)
        reject(field, QStringLiteral("muss zwischen %1 und %2 liegen.").arg(min).arg(max));
}

void requirePlainText(const QString &field, const QString &text)
{
    if (hasControlCharacters(text))
        reject(field, QStringLiteral("darf keine Steuerzeichen oder Zeilenumbrüche enthalten."));
    if (hasMalformedCharacters(text))
        reject(field, QStringLiteral("enthält ungültige Unicode-Zeichen."));
}

// runtime.json carries ISO-8601 dates with four-digit years: a date outside
// them could not be stored, and a creation would fail after its work is done.
void requireStorableDate(const QString &field, const QDateTime &date)
{
    if (!isDateInRange(date))
        reject(field, QStringLiteral("ist kein speicherbares Datum (Jahr 1 bis 9999, UTC)."));
}

} // namespace

std::optional<QString> normalizedName(const QString &name)
{
    const QString trimmed = name.trimmed();
    if (trimmed.isEmpty() || graphemeCount(trimmed) > 80)
        return std::nullopt;
    if (hasScalarOfCategory(trimmed, {QChar::Other_Control, QChar::Other_Format}) || hasMalformedCharacters(trimmed))
        return std::nullopt;
    return trimmed;
}

bool isValidUsername(const QString &username)
{
    static const QRegularExpression pattern(QStringLiteral("^[a-z_][a-z0-9_-]{0,31}$"));
    return pattern.match(username).hasMatch();
}

bool isValidHostname(const QString &hostname)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?$"));
    return pattern.match(hostname).hasMatch();
}

bool isValidMountName(const QString &mountName)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9_.-]{1,36}$"));
    return pattern.match(mountName).hasMatch();
}

bool isValidDistro(const QString &distro)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9_.-]{1,64}$"));
    return pattern.match(distro).hasMatch() && distro != QLatin1String(".") && distro != QLatin1String("..");
}

bool hasControlCharacters(const QString &text)
{
    return hasScalarOfCategory(text, {QChar::Other_Control, QChar::Separator_Line, QChar::Separator_Paragraph});
}

bool hasMalformedCharacters(const QString &text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        char32_t scalar = c.unicode();
        if (c.isHighSurrogate()) {
            if (i + 1 >= text.size() || !text[i + 1].isLowSurrogate())
                return true;
            scalar = QChar::surrogateToUcs4(c, text[++i]);
        } else if (c.isLowSurrogate()) {
            return true;
        }
        if ((scalar >= 0xFDD0 && scalar <= 0xFDEF) || (scalar & 0xFFFE) == 0xFFFE)
            return true;
    }
    return false;
}

void validateGuestIdentity(const RuntimeConfig &config)
{
    if (!isValidUsername(config.username))
        reject(QStringLiteral("username"),
               QStringLiteral("muss mit einem Kleinbuchstaben oder _ beginnen, darf nur a-z, 0-9, _ und - "
                              "enthalten und höchstens 32 Zeichen lang sein."));
    if (!isValidHostname(config.hostname))
        reject(QStringLiteral("hostname"),
               QStringLiteral("muss 1 bis 63 Zeichen aus A-Z, a-z, 0-9 und - haben und darf nicht mit - "
                              "beginnen oder enden."));
    if (!isValidMountName(config.mountName))
        reject(QStringLiteral("mountName"),
               QStringLiteral("muss 1 bis 36 Zeichen aus A-Z, a-z, 0-9, _, . und - haben."));
}

void validateForCreation(const RuntimeConfig &config)
{
    if (!normalizedName(config.name))
        reject(QStringLiteral("name"),
               QStringLiteral("muss zwischen 1 und 80 Zeichen lang sein und darf keine Steuerzeichen enthalten."));
    requireRange(QStringLiteral("cpuCount"), config.cpuCount, 1, 64);
    requireRange(QStringLiteral("memoryGB"), config.memoryGB, 1, 1024);
    requireRange(QStringLiteral("diskGB"), config.diskGB, 1, (int64_t(1) << 33) - 1);
    validateGuestIdentity(config);
    if (!isValidDistro(config.distro))
        reject(QStringLiteral("distro"), QStringLiteral("muss 1 bis 64 Zeichen aus A-Z, a-z, 0-9, _, . und - haben."));
    requirePlainText(QStringLiteral("workspacePath"), config.workspacePath);
    if (config.workspaceName)
        requirePlainText(QStringLiteral("workspaceName"), *config.workspaceName);
    if (config.ipAddress)
        requirePlainText(QStringLiteral("ipAddress"), *config.ipAddress);
    if (config.macAddress)
        requirePlainText(QStringLiteral("macAddress"), *config.macAddress);
    requirePlainText(QStringLiteral("desktopEnvironment"), config.desktopEnvironment);
    requireStorableDate(QStringLiteral("createdAt"), config.createdAt);
    requireStorableDate(QStringLiteral("updatedAt"), config.updatedAt);
    if (config.initialStartCompletedAt)
        requireStorableDate(QStringLiteral("initialStartCompletedAt"), *config.initialStartCompletedAt);
}

} // namespace trellium::RuntimeConfigValidator
