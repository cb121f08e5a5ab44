#include "tests/support/scratchhome.h"

#include <QDir>
#include <QFile>

namespace Orv::Test {
namespace {

const char *const kVariables[] = {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME",
                                  "XDG_RUNTIME_DIR"};

} // namespace

ScratchHome::ScratchHome()
{
    m_valid = m_dir.isValid();
    for (const char *name : kVariables)
        m_valid = m_valid && QDir().mkpath(path(QLatin1String(name)));
    // Qt and the session's services use a runtime folder only when no one else may enter it.
    m_valid = m_valid && QFile::setPermissions(path(QStringLiteral("XDG_RUNTIME_DIR")),
                                               QFile::ReadOwner | QFile::WriteOwner |
                                                   QFile::ExeOwner);
}

QProcessEnvironment ScratchHome::environment(QProcessEnvironment base) const
{
    for (const char *name : kVariables)
        base.insert(QLatin1String(name), path(QLatin1String(name)));
    return base;
}

void ScratchHome::exportToThisProcess() const
{
    for (const char *name : kVariables)
        qputenv(name, QFile::encodeName(path(QLatin1String(name))));
}

} // namespace Orv::Test
