#pragma once

#include <QString>

namespace trellium {

// The EFI variable store of one machine: a private copy of OVMF's empty
// variable template, which OVMF then writes its boot entries into.
class EFIVariableStore {
public:
    static QString defaultTemplatePath();  // /usr/share/OVMF/OVMF_VARS_4M.fd

    // Creates a new, empty store at the path. Never overwrites: anything
    // already at the path makes it fail with FileError.
    static void create(const QString &path, const QString &templatePath = defaultTemplatePath());
};

} // namespace trellium
