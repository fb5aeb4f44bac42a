#pragma once
// The folder of the program's settings (CL.ini) and of the print settings store. A copy run
// from where it was built keeps them beside the program; an installed copy (its program in a
// "bin" folder whose sibling "share/korvelchat2" holds the program's data) keeps them in
// $XDG_CONFIG_HOME/korvelchat2, ~/.config/korvelchat2 without the variable. The environment
// variable KORVELCHAT_CONFIG_DIR names another folder and wins over both.
#include <QString>

QString ConfigDir();

// The same decision for a program kept in ProgramDir, with no override looked at.
bool InstalledLayout(const QString& ProgramDir);
QString ConfigDirFor(const QString& ProgramDir);
