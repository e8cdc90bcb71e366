#include "core/Json.h"

#include <QJsonParseError>
#include <QRegularExpression>
#include <QTimeZone>

#include <cmath>
#include <limits>

namespace trellium {

namespace {
// 2001-01-01T00:00:00Z in seconds since 1970.
constexpr int64_t kReferenceDate = 978307200;

// 0001-01-01T00:00:00Z and 9999-12-31T23:59:59.999Z in milliseconds since 1970.
constexpr int64_t kEarliestMSecs = -62135596800000;
constexpr int64_t kLatestMSecs = 253402300799999;

void requireDateInRange(const QDateTime &date)
{
    if (!isDateInRange(date))
        throw EncodingError(date.isValid()
                                ? QStringLiteral("Datum außerhalb der Jahre 1 bis 9999 (%1)").arg(date.toString(Qt::ISODate))
                                : QStringLiteral("ungültiges Datum"));
}
} // namespace

bool isDateInRange(const QDateTime &date)
{
    if (!date.isValid())
        return false;
    const int64_t msecs = date.toMSecsSinceEpoch();
    return msecs >= kEarliestMSecs && msecs <= kLatestMSecs;
}

QString formatISO8601(const QDateTime &date)
{
    requireDateInRange(date);
    const QDateTime utc = date.toUTC();
    return utc.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) + QLatin1Char('Z');
}

std::optional<QDateTime> parseISO8601(QStringView text)
{
    static const QRegularExpression pattern(QStringLiteral(
        R"(^(\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})(Z|([+-])(\d{2}):(\d{2}))$)"));
    const auto match = pattern.match(text.toString());
    if (!match.hasMatch())
        return std::nullopt;
    const QDate day(match.capturedView(1).toInt(), match.capturedView(2).toInt(), match.capturedView(3).toInt());
    const QTime time(match.capturedView(4).toInt(), match.capturedView(5).toInt(), match.capturedView(6).toInt());
    if (!day.isValid() || !time.isValid())
        return std::nullopt;
    int offset = 0;
    if (match.capturedView(7) != QLatin1String("Z")) {
        const int hours = match.capturedView(9).toInt();
        const int minutes = match.capturedView(10).toInt();
        if (hours > 23 || minutes > 59)
            return std::nullopt;
        offset = (hours * 60 + minutes) * 60;
        if (match.capturedView(8) == QLatin1String("-"))
            offset = -offset;
    }
    QDateTime local(day, time, QTimeZone(offset));
    // An offset can carry a date just inside the range out of it.
    if (!isDateInRange(local))
        return std::nullopt;
    return local.toUTC();
}

QString formatDateDescription(const QDateTime &date)
{
    return date.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + QStringLiteral(" +0000");
}

double secondsSince2001(const QDateTime &date)
{
    return double(date.toMSecsSinceEpoch() - kReferenceDate * 1000) / 1000.0;
}

QDateTime dateFromSecondsSince2001(double seconds)
{
    if (!std::isfinite(seconds))
        return {};
    // Checked as a double: converting an out-of-range double to an integer
    // is undefined.
    const double msecs = std::round(seconds * 1000.0) + double(kReferenceDate) * 1000.0;
    if (msecs < double(kEarliestMSecs) || msecs > double(kLatestMSecs))
        return {};
    return QDateTime::fromMSecsSinceEpoch(int64_t(msecs), QTimeZone::utc());
}

QString uuidText(const QUuid &id)
{
    return id.toString(QUuid::WithoutBraces).toUpper();
}

std::optional<QUuid> parseUuid(QStringView text)
{
    if (text.size() != 36)
        return std::nullopt;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        const bool dash = (i == 8 || i == 13 || i == 18 || i == 23);
        if (dash ? c != QLatin1Char('-') : !isxdigit(c.unicode() < 128 ? c.toLatin1() : 'x'))
            return std::nullopt;
    }
    const QUuid id = QUuid::fromString(text);
    if (id.isNull() && text != QLatin1String("00000000-0000-0000-0000-000000000000"))
        return std::nullopt;
    return id;
}

JsonReader::JsonReader(QJsonObject object, DateStyle dates, QString record)
    : m_object(std::move(object)), m_dates(dates), m_record(std::move(record))
{
}

bool JsonReader::has(const QString &key) const
{
    return !isAbsent(key);
}

bool JsonReader::isAbsent(const QString &key) const
{
    const auto it = m_object.constFind(key);
    return it == m_object.constEnd() || it->isNull() || it->isUndefined();
}

DecodingError JsonReader::invalid(const QString &key, const QString &why) const
{
    return DecodingError(QStringLiteral("%1.%2: %3").arg(m_record, key, why));
}

QJsonValue JsonReader::required(const QString &key) const
{
    const auto it = m_object.constFind(key);
    if (it == m_object.constEnd())
        throw invalid(key, QStringLiteral("Schlüssel fehlt"));
    if (it->isNull())
        throw invalid(key, QStringLiteral("Wert fehlt"));
    return *it;
}

QString JsonReader::string(const QString &key) const
{
    const QJsonValue value = required(key);
    if (!value.isString())
        throw invalid(key, QStringLiteral("Text erwartet"));
    return value.toString();
}

std::optional<QString> JsonReader::optionalString(const QString &key) const
{
    if (isAbsent(key))
        return std::nullopt;
    return string(key);
}

int64_t JsonReader::integerIn(const QString &key, int64_t min, int64_t max) const
{
    const QJsonValue value = required(key);
    if (!value.isDouble())
        throw invalid(key, QStringLiteral("Zahl erwartet"));
    // toInteger() falls back to its default for fractions and out-of-range
    // values; two different defaults tell such a value from a real one.
    const qint64 a = value.toInteger(0);
    const qint64 b = value.toInteger(1);
    if (a != b)
        throw invalid(key, QStringLiteral("ganze Zahl erwartet"));
    if (a < min || a > max)
        throw invalid(key, QStringLiteral("Zahl außerhalb des Wertebereichs"));
    return a;
}

int64_t JsonReader::int64(const QString &key) const
{
    return integerIn(key, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max());
}

std::optional<int64_t> JsonReader::optionalInt64(const QString &key) const
{
    if (isAbsent(key))
        return std::nullopt;
    return int64(key);
}

int32_t JsonReader::int32(const QString &key) const
{
    return int32_t(integerIn(key, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

std::optional<int32_t> JsonReader::optionalInt32(const QString &key) const
{
    if (isAbsent(key))
        return std::nullopt;
    return int32(key);
}

std::optional<uint16_t> JsonReader::optionalUInt16(const QString &key) const
{
    if (isAbsent(key))
        return std::nullopt;
    return uint16_t(integerIn(key, 0, 65535));
}

double JsonReader::number(const QString &key) const
{
    const QJsonValue value = required(key);
    if (!value.isDouble())
        throw invalid(key, QStringLiteral("Zahl erwartet"));
    return value.toDouble();
}

std::optional<double> JsonReader::optionalNumber(const QString &key) const
{
    if (isAbsent(key))
        return std::nullopt;
    return number(key);
}

bool JsonReader::boolean(const QString &key) const
{
    const QJsonValue value = required(key);
    if (!value.isBool())
        throw invalid(key, QStringLiteral("Wahrheitswert erwartet"));
    return value.toBool();
}

std::optional<bool> JsonReader::optionalBoolean(const QString &key) const
{
    if (isAbsent(key))
        return std::nullopt;
    return boolean(key);
}

QUuid JsonReader::uuid(const QString &key) const
{
    const QString text = string(key);
    if (auto id = parseUuid(text))
        return *id;
    throw invalid(key, QStringLiteral("UUID erwartet"));
}

std::optional<QUuid> JsonReader::optionalUuid(const QString &key) const
{
    if (isAbsent(key))
        return std::nullopt;
    return uuid(key);
}

QDateTime JsonReader::date(const QString &key) const
{
    if (m_dates == DateStyle::ISO8601) {
        const QString text = string(key);
        if (auto date = parseISO8601(text))
            return *date;
        throw invalid(key, QStringLiteral("ISO-8601-Datum erwartet"));
    }
    const QDateTime date = dateFromSecondsSince2001(number(key));
    if (!date.isValid())
        throw invalid(key, QStringLiteral("Datum der Jahre 1 bis 9999 erwartet"));
    return date;
}

std::optional<QDateTime> JsonReader::optionalDate(const QString &key) const
{
    if (isAbsent(key))
        return std::nullopt;
    return date(key);
}

void JsonWriter::set(const QString &key, const QDateTime &value)
{
    if (m_dates == DateStyle::ISO8601) {
        m_object.insert(key, formatISO8601(value));
        return;
    }
    requireDateInRange(value);
    m_object.insert(key, secondsSince2001(value));
}

QJsonObject parseJsonObject(const QByteArray &bytes)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError)
        throw DecodingError(QStringLiteral("kein gültiges JSON (%1 an Stelle %2)")
                                .arg(error.errorString())
                                .arg(error.offset));
    if (!document.isObject())
        throw DecodingError(QStringLiteral("JSON-Objekt erwartet"));
    return document.object();
}

QByteArray prettyJson(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

QByteArray compactJson(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace trellium
