#pragma once

#include "model/RuntimeConfig.h"

#include <QString>

#include <optional>

namespace trellium {

// Values of a runtime record end up in shell scripts, QEMU options and ssh
// arguments; these rules keep them to what those places can carry safely.
namespace RuntimeConfigValidator {

// The display name rule: trimmed, 1 to 80 user-perceived characters, no
// Unicode scalar of category Cc or Cf. Returns the trimmed name, or nothing.
std::optional<QString> normalizedName(const QString &name);

bool isValidUsername(const QString &username);    // ^[a-z_][a-z0-9_-]{0,31}$
bool isValidHostname(const QString &hostname);    // one RFC 1123 label
bool isValidMountName(const QString &mountName);  // 1-36 bytes of [A-Za-z0-9_.-]
bool isValidDistro(const QString &distro);        // a plain folder name
// Control characters (Cc) and line or paragraph separators.
bool hasControlCharacters(const QString &text);
// Noncharacters (U+FDD0..U+FDEF, U+xxFFFE, U+xxFFFF) and lone surrogates:
// no UTF-8 reader accepts them, and one of them makes a whole cloud-init
// document unreadable.
bool hasMalformedCharacters(const QString &text);

// The values that name the guest's user, host and share (they are written
// into cloud-init documents, QEMU options and ssh arguments). Throws like
// validateForCreation.
void validateGuestIdentity(const RuntimeConfig &config);

// Checks a record before a runtime is created; throws a DomainError of
// domain "RuntimeConfig" whose German text names the offending field.
void validateForCreation(const RuntimeConfig &config);

} // namespace RuntimeConfigValidator

} // namespace trellium
