#include "core/Json.h"

#include <gtest/gtest.h>

#include <QTimeZone>

#include <limits>

using namespace trellium;

TEST(ISO8601, WritesWholeSecondsInUtcWithZAndParsesOnlyStrictDateTimes)
{
    const QDateTime date = QDateTime::fromMSecsSinceEpoch(1738314900123, QTimeZone(3600));
    EXPECT_EQ(formatISO8601(date), QStringLiteral("2025-01-31T09:15:00Z"));

    const auto utc = parseISO8601(u"2025-01-31T09:15:00Z");
    ASSERT_TRUE(utc);
    EXPECT_EQ(utc->toSecsSinceEpoch(), 1738314900);
    const auto offset = parseISO8601(u"2025-01-31T10:15:00+01:00");
    ASSERT_TRUE(offset);
    EXPECT_EQ(*offset, *utc);

    for (const char16_t *bad : {u"2025-01-31T09:15:00.5Z", u"2025-01-31T09:15:00", u"2025-01-31 09:15:00Z",
                                u"2025-02-30T09:15:00Z", u"2025-01-31T24:15:00Z", u"", u"2025-01-31T09:15:00Zx"}) {
        EXPECT_FALSE(parseISO8601(bad)) << QString::fromUtf16(bad).toStdString();
    }
}

TEST(Uuid, AcceptsEitherCaseButOnlyTheCanonicalShape)
{
    const auto id = parseUuid(u"e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    ASSERT_TRUE(id);
    EXPECT_EQ(uuidText(*id), QStringLiteral("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"));
    EXPECT_FALSE(parseUuid(u"{e621e1f8-c36c-495a-93fc-0c247a3e6e5f}"));
    EXPECT_FALSE(parseUuid(u"e621e1f8c36c495a93fc0c247a3e6e5f"));
    EXPECT_FALSE(parseUuid(u"g621e1f8-c36c-495a-93fc-0c247a3e6e5f"));
}

TEST(JsonReader, ChecksPresenceTypesRangesAndDateStyles)
{
    const QJsonObject object = parseJsonObject(R"({"s":"x","n":5,"f":5.5,"b":true,"nul":null,"big":4294967296})");
    const JsonReader r(object, DateStyle::ISO8601, QStringLiteral("Test"));
    EXPECT_EQ(r.string(QStringLiteral("s")), QStringLiteral("x"));
    EXPECT_EQ(r.int64(QStringLiteral("n")), 5);
    EXPECT_EQ(r.int64(QStringLiteral("big")), 4294967296LL);
    EXPECT_THROW(r.int32(QStringLiteral("big")), DecodingError);
    EXPECT_THROW(r.int64(QStringLiteral("f")), DecodingError);
    EXPECT_THROW(r.string(QStringLiteral("n")), DecodingError);
    EXPECT_THROW(r.boolean(QStringLiteral("n")), DecodingError);
    EXPECT_THROW(r.string(QStringLiteral("missing")), DecodingError);
    EXPECT_THROW(r.string(QStringLiteral("nul")), DecodingError);
    EXPECT_EQ(r.optionalString(QStringLiteral("nul")), std::nullopt);
    EXPECT_EQ(r.optionalString(QStringLiteral("missing")), std::nullopt);
    EXPECT_THROW(r.optionalString(QStringLiteral("n")), DecodingError);

    EXPECT_THROW(parseJsonObject("[1,2]"), DecodingError);
    EXPECT_THROW(parseJsonObject("{\"a\":"), DecodingError);

    // Dates follow the chosen style.
    const QJsonObject dates = parseJsonObject(R"({"iso":"2025-01-31T09:15:00Z","num":760007700})");
    const JsonReader iso(dates, DateStyle::ISO8601, QStringLiteral("Test"));
    EXPECT_EQ(iso.date(QStringLiteral("iso")).toSecsSinceEpoch(), 1738314900);
    EXPECT_THROW(iso.date(QStringLiteral("num")), DecodingError);
    const JsonReader numeric(dates, DateStyle::SecondsSince2001, QStringLiteral("Test"));
    EXPECT_EQ(numeric.date(QStringLiteral("num")).toSecsSinceEpoch(), 1738314900);
    EXPECT_THROW(numeric.date(QStringLiteral("iso")), DecodingError);

    // Seconds since 2001 keep milliseconds.
    EXPECT_EQ(secondsSince2001(QDateTime(QDate(2001, 1, 1), QTime(0, 0), QTimeZone::utc())), 0.0);
    const QDateTime date = QDateTime::fromMSecsSinceEpoch(1738314900250, QTimeZone::utc());
    EXPECT_DOUBLE_EQ(secondsSince2001(date), 760007700.25);
    EXPECT_EQ(dateFromSecondsSince2001(760007700.25), date);
}

TEST(Dates, OnlyYearsOneToNineThousandNineHundredNinetyNineAreWrittenOrRead)
{
    // The edges of the range round-trip in both styles.
    const QDateTime first(QDate(1, 1, 1), QTime(0, 0), QTimeZone::utc());
    const QDateTime last(QDate(9999, 12, 31), QTime(23, 59, 59), QTimeZone::utc());
    for (const QDateTime &edge : {first, last}) {
        EXPECT_EQ(parseISO8601(formatISO8601(edge)), edge);
        JsonWriter writer(DateStyle::SecondsSince2001);
        writer.set(QStringLiteral("d"), edge);
        EXPECT_EQ(JsonReader(writer.object(), DateStyle::SecondsSince2001, QStringLiteral("Test")).date(QStringLiteral("d")),
                  edge);
    }
    EXPECT_EQ(formatISO8601(first), QStringLiteral("0001-01-01T00:00:00Z"));

    // A date that could not be read back is not written.
    for (const QDateTime &outside : {last.addSecs(1), first.addSecs(-1), QDateTime()}) {
        EXPECT_THROW(formatISO8601(outside), EncodingError);
        for (const DateStyle style : {DateStyle::ISO8601, DateStyle::SecondsSince2001}) {
            JsonWriter writer(style);
            EXPECT_THROW(writer.set(QStringLiteral("d"), outside), EncodingError);
        }
    }

    // An offset must not carry a date out of the range.
    EXPECT_FALSE(parseISO8601(u"9999-12-31T23:30:00-01:00"));
    EXPECT_FALSE(parseISO8601(u"0001-01-01T00:30:00+01:00"));

    // Numbers far outside the range are refused, never converted.
    const QJsonObject numbers = parseJsonObject(
        R"({"huge":1e300,"tiny":-1e300,"beyond":2.6e11,"before":-6.4e10,"max":9.2233720368547758e15})");
    const JsonReader reader(numbers, DateStyle::SecondsSince2001, QStringLiteral("Test"));
    for (const char *key : {"huge", "tiny", "beyond", "before", "max"})
        EXPECT_THROW(reader.date(QString::fromLatin1(key)), DecodingError) << key;
    EXPECT_FALSE(dateFromSecondsSince2001(std::numeric_limits<double>::infinity()).isValid());
    EXPECT_FALSE(dateFromSecondsSince2001(std::numeric_limits<double>::quiet_NaN()).isValid());
}
