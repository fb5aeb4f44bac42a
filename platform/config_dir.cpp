#include "config_dir.h"

#include "instance.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

// The layout `cmake --install` and the package make: prefix/bin holds the programs and
// prefix/share/korvelchat2 the help page. A build folder has neither, so write permission plays
// no part: a build folder that cannot be written stays the settings folder and says so on save.
bool InstalledLayout(const QString& ProgramDir) {
    const QDir bin(ProgramDir);
    return bin.dirName() == QStringLiteral("bin") &&
           QFileInfo(bin.absoluteFilePath(QStringLiteral("../share/korvelchat2"))).isDir();
}

QString ConfigDirFor(const QString& ProgramDir) {
    if (!InstalledLayout(ProgramDir)) return ProgramDir;
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/korvelchat2");
}

QString ConfigDir() {
    const QString chosen = ConfigDirOverride();
    return chosen.isEmpty() ? ConfigDirFor(QCoreApplication::applicationDirPath()) : chosen;
}
