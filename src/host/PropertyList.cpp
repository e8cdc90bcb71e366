#include "host/PropertyList.h"

#include "core/Errors.h"
#include "core/Json.h"

#include <QRegularExpression>
#include <QXmlStreamReader>

namespace trellium {

namespace {

// Nesting deeper than any real tool prints is refused, so a hostile document
// cannot exhaust the stack.
constexpr int kMaximumDepth = 64;

class Reader {
public:
    explicit Reader(const QByteArray &xml) : m_xml(xml) {}

    QVariant document()
    {
        if (!nextElement() || m_xml.name() != QLatin1String("plist"))
            fail(QStringLiteral("kein plist-Element"));
        if (!nextElement())
            fail(QStringLiteral("leere Eigenschaftsliste"));
        QVariant value = element(0);
        // Nothing but the end of <plist> may follow.
        while (!m_xml.atEnd()) {
            m_xml.readNext();
            if (m_xml.isStartElement())
                fail(QStringLiteral("mehr als ein Wert"));
        }
        if (m_xml.hasError())
            fail(m_xml.errorString());
        return value;
    }

private:
    [[noreturn]] void fail(const QString &why) const
    {
        throw DecodingError(QStringLiteral("Eigenschaftsliste: %1 (Zeile %2)").arg(why).arg(m_xml.lineNumber()));
    }

    // Advances to the next start element within the current one; false at its end.
    bool nextElement()
    {
        while (!m_xml.atEnd()) {
            m_xml.readNext();
            if (m_xml.isStartElement())
                return true;
            if (m_xml.isEndElement())
                return false;
            if (m_xml.isCharacters() && !m_xml.isWhitespace())
                fail(QStringLiteral("Text außerhalb eines Werts"));
        }
        if (m_xml.hasError())
            fail(m_xml.errorString());
        return false;
    }

    QString text()
    {
        const QString value = m_xml.readElementText(QXmlStreamReader::ErrorOnUnexpectedElement);
        if (m_xml.hasError())
            fail(m_xml.errorString());
        return value;
    }

    QVariant element(int depth)
    {
        if (depth > kMaximumDepth)
            fail(QStringLiteral("zu tief verschachtelt"));
        const auto name = m_xml.name();
        if (name == QLatin1String("dict")) {
            QVariantMap map;
            while (nextElement()) {
                if (m_xml.name() != QLatin1String("key"))
                    fail(QStringLiteral("Schlüssel erwartet"));
                const QString key = text();
                if (!nextElement())
                    fail(QStringLiteral("Wert zu „%1“ fehlt").arg(key));
                map.insert(key, element(depth + 1));
            }
            return map;
        }
        if (name == QLatin1String("array")) {
            QVariantList list;
            while (nextElement())
                list.append(element(depth + 1));
            return list;
        }
        if (name == QLatin1String("string"))
            return text();
        if (name == QLatin1String("integer")) {
            bool ok = false;
            const qint64 value = text().trimmed().toLongLong(&ok);
            if (!ok)
                fail(QStringLiteral("keine ganze Zahl"));
            return value;
        }
        if (name == QLatin1String("real")) {
            bool ok = false;
            const double value = text().trimmed().toDouble(&ok);
            if (!ok)
                fail(QStringLiteral("keine Zahl"));
            return value;
        }
        if (name == QLatin1String("true") || name == QLatin1String("false")) {
            const bool value = name == QLatin1String("true");
            if (!text().isEmpty())
                fail(QStringLiteral("Wahrheitswert mit Inhalt"));
            return value;
        }
        if (name == QLatin1String("data")) {
            QString encoded = text();
            encoded.remove(QRegularExpression(QStringLiteral("\\s")));
            auto decoded = QByteArray::fromBase64Encoding(encoded.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
            if (!decoded)
                fail(QStringLiteral("ungültige Base64-Daten"));
            return *decoded;
        }
        if (name == QLatin1String("date")) {
            const auto date = parseISO8601(text().trimmed());
            if (!date)
                fail(QStringLiteral("ungültiges Datum"));
            return *date;
        }
        fail(QStringLiteral("unbekanntes Element „%1“").arg(name.toString()));
    }

    QXmlStreamReader m_xml;
};

} // namespace

QVariant PropertyList::parse(const QByteArray &xml)
{
    return Reader(xml).document();
}

} // namespace trellium
