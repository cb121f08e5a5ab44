#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>

namespace Orv::Test {

// A home folder and XDG folders (config, data, cache, runtime) of their own, in a temporary
// folder removed with the object: what a test gives the programs it starts, or itself, so that
// nothing it runs reads or writes the folders of the user who runs the tests.
class ScratchHome
{
public:
    ScratchHome();

    bool isValid() const { return m_valid; }
    // The folder behind HOME or one of the XDG variables, or a path below the scratch folder.
    QString path(const QString &name) const { return m_dir.filePath(name); }
    // `base` with HOME and the XDG folder variables pointing here.
    QProcessEnvironment environment(
        QProcessEnvironment base = QProcessEnvironment::systemEnvironment()) const;
    // Points this process's HOME and XDG folder variables here, for what it starts itself.
    void exportToThisProcess() const;

private:
    QTemporaryDir m_dir;
    bool m_valid = false;
};

} // namespace Orv::Test
