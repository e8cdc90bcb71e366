#include "platform/vm/EFIVariableStore.h"

#include "core/Files.h"

namespace trellium {

QString EFIVariableStore::defaultTemplatePath()
{
    return QStringLiteral("/usr/share/OVMF/OVMF_VARS_4M.fd");
}

void EFIVariableStore::create(const QString &path, const QString &templatePath)
{
    createFileExclusively(path, readWholeFile(templatePath));
}

} // namespace trellium
