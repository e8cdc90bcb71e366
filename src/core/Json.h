#pragma once

#include "core/Errors.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QUuid>

#include <array>
#include <cstdint>
#include <optional>

namespace trellium {

// How a record's dates travel: ISO-8601 texts in UTC with whole seconds
// (runtime.json, local lines), or the coder's default form, seconds since
// 2001-01-01 00:00:00 UTC as a number (relayed jobs, payloads, image manifests).
enum class DateStyle { ISO8601, SecondsSince2001 };

// Dates that records carry: years 1 to 9999 in UTC, the range a four-digit
// ISO-8601 year can hold. Anything outside is refused on writing and reading,
// so what is written can always be read back.
bool isDateInRange(const QDateTime &date);

// "2025-01-31T09:15:00Z"; fractions of a second are dropped. Throws
// EncodingError for an invalid date or one outside the range.
QString formatISO8601(const QDateTime &date);
// Accepts exactly yyyy-mm-ddThh:mm:ss followed by Z or +hh:mm / -hh:mm; no
// fractions, no missing zone, nothing outside the range.
std::optional<QDateTime> parseISO8601(QStringView text);

// The platform's default description of a date, used in log banners:
// "2025-01-31 09:15:00 +0000" (UTC).
QString formatDateDescription(const QDateTime &date);

double secondsSince2001(const QDateTime &date);
// An invalid QDateTime for a value that is not finite or lies outside the range.
QDateTime dateFromSecondsSince2001(double seconds);

// Canonical upper-case UUID text (36 characters).
QString uuidText(const QUuid &id);
// Accepts the 36-character form in either case; nothing else.
std::optional<QUuid> parseUuid(QStringView text);

// Enumerations travel as their case names. Specialise EnumNames<E> with a
// `names` array in declaration order to make an enumeration codable.
template<typename E>
struct EnumNames;

template<typename E>
QString enumName(E value)
{
    return QString::fromLatin1(EnumNames<E>::names[static_cast<size_t>(value)]);
}

template<typename E>
std::optional<E> enumFromName(QStringView text)
{
    const auto &names = EnumNames<E>::names;
    for (size_t i = 0; i < names.size(); ++i) {
        if (text == QLatin1String(names[i]))
            return static_cast<E>(i);
    }
    return std::nullopt;
}

// Reads one JSON object field by field; any missing required key, wrong type
// or unknown enumeration value throws DecodingError naming the key. Optional
// keys may be absent or null.
class JsonReader {
public:
    JsonReader(QJsonObject object, DateStyle dates, QString record);

    const QJsonObject &object() const { return m_object; }
    bool has(const QString &key) const;

    QString string(const QString &key) const;
    std::optional<QString> optionalString(const QString &key) const;
    int64_t int64(const QString &key) const;
    std::optional<int64_t> optionalInt64(const QString &key) const;
    int32_t int32(const QString &key) const;
    std::optional<int32_t> optionalInt32(const QString &key) const;
    std::optional<uint16_t> optionalUInt16(const QString &key) const;
    double number(const QString &key) const;
    std::optional<double> optionalNumber(const QString &key) const;
    bool boolean(const QString &key) const;
    std::optional<bool> optionalBoolean(const QString &key) const;
    QUuid uuid(const QString &key) const;
    std::optional<QUuid> optionalUuid(const QString &key) const;
    QDateTime date(const QString &key) const;
    std::optional<QDateTime> optionalDate(const QString &key) const;

    template<typename E>
    E enumeration(const QString &key) const
    {
        const QString text = string(key);
        if (auto value = enumFromName<E>(text))
            return *value;
        throw invalid(key, QStringLiteral("unbekannter Wert \"%1\"").arg(text));
    }

    template<typename E>
    std::optional<E> optionalEnumeration(const QString &key) const
    {
        if (isAbsent(key))
            return std::nullopt;
        return enumeration<E>(key);
    }

    DecodingError invalid(const QString &key, const QString &why) const;

private:
    bool isAbsent(const QString &key) const;
    QJsonValue required(const QString &key) const;
    int64_t integerIn(const QString &key, int64_t min, int64_t max) const;

    QJsonObject m_object;
    DateStyle m_dates;
    QString m_record;
};

// Builds one JSON object; optional values that are absent are left out. A
// date outside the range throws EncodingError.
class JsonWriter {
public:
    explicit JsonWriter(DateStyle dates) : m_dates(dates) {}

    void set(const QString &key, const QString &value) { m_object.insert(key, value); }
    void set(const QString &key, const char *value) { m_object.insert(key, QString::fromUtf8(value)); }
    void set(const QString &key, int64_t value) { m_object.insert(key, qint64(value)); }
    void set(const QString &key, int32_t value) { m_object.insert(key, qint64(value)); }
    void set(const QString &key, uint16_t value) { m_object.insert(key, qint64(value)); }
    void set(const QString &key, double value) { m_object.insert(key, value); }
    void set(const QString &key, bool value) { m_object.insert(key, value); }
    void set(const QString &key, const QUuid &value) { m_object.insert(key, uuidText(value)); }
    void set(const QString &key, const QDateTime &value);
    void set(const QString &key, const QJsonValue &value) { m_object.insert(key, value); }

    template<typename E>
        requires std::is_enum_v<E>
    void set(const QString &key, E value)
    {
        m_object.insert(key, enumName(value));
    }

    template<typename T>
    void set(const QString &key, const std::optional<T> &value)
    {
        if (value)
            set(key, *value);
    }

    QJsonObject object() const { return m_object; }

private:
    QJsonObject m_object;
    DateStyle m_dates;
};

// Parses a document that must be one JSON object.
QJsonObject parseJsonObject(const QByteArray &bytes);

QByteArray prettyJson(const QJsonObject &object);   // indented, keys sorted
QByteArray compactJson(const QJsonObject &object);

} // namespace trellium
