#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace trellium {

// Each byte of a digest as two lower-case hexadecimal digits, in order;
// joined with an empty separator they make the 64-digit SHA-256 text.
QStringList hexString(const QByteArray &digest);

// SHA-256 of data (or of a text's UTF-8 bytes) as 64 lower-case hex digits.
QString sha256Hex(const QByteArray &data);
QString sha256Hex(const QString &text);

} // namespace trellium
