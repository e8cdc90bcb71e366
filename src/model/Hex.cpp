#include "model/Hex.h"

#include <QCryptographicHash>

namespace trellium {

QStringList hexString(const QByteArray &digest)
{
    QStringList parts;
    parts.reserve(digest.size());
    for (const char byte : digest)
        parts.append(QStringLiteral("%1").arg(quint8(byte), 2, 16, QLatin1Char('0')));
    return parts;
}

QString sha256Hex(const QByteArray &data)
{
    return hexString(QCryptographicHash::hash(data, QCryptographicHash::Sha256)).join(QString());
}

QString sha256Hex(const QString &text)
{
    return sha256Hex(text.toUtf8());
}

} // namespace trellium
