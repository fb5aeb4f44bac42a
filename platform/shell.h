#pragma once
// The desktop's "open" operation for a document or address.
#include <QString>
#include <QUrl>

#include <functional>

bool ShellOpen(const QString& Target);

// The address ShellOpen hands to the desktop: Target itself when it carries a scheme
// ("https:", "mailto:"), otherwise Target as a local file, relative to the current directory.
QUrl ShellOpenUrl(const QString& Target);

// Tests replace the desktop with a recorder; an empty function restores the real one.
void SetShellOpenHandler(std::function<bool(const QString& Target)> Handler);
