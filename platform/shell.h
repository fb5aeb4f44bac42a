#pragma once
// The desktop's "open" operation for a document or address.
#include <QString>
#include <QUrl>

#include <functional>

// Asks the desktop to open Target; false when nothing on the desktop can be asked. The answer
// of the desktop's opener comes later: OnFailure, when given, hears why it could not open
// Target (nothing opens that kind of file or address, or the program that does failed), also
// when nothing could be asked at all. It runs on the event loop, after ShellOpen returned.
bool ShellOpen(const QString& Target, std::function<void(const QString& Why)> OnFailure = {});

// The address ShellOpen hands to the desktop: Target itself when it carries a scheme
// ("https:", "mailto:"), otherwise Target as a local file, relative to the current directory.
QUrl ShellOpenUrl(const QString& Target);

// Tests replace the desktop with a recorder; an empty function restores the real one.
void SetShellOpenHandler(std::function<bool(const QString& Target)> Handler);
