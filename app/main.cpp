// Program start: the application, the main window (the single-instance guard runs while it is
// made), then the message loop. A second copy ends before its window is shown. --help and
// --version answer before anything needs a display.
#include "application.h"
#include "config_dir.h"
#include "palnor_form.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstring>

namespace {

const char* const Usage =
    "Usage: korvelchat2 [--help] [--version]\n"
    "\n"
    "KorvelChat 2, a desktop chat client for a text chat server reached over telnet.\n"
    "Enter a call sign and a name (and the chat server's host and port) on the Settings page,\n"
    "press OK, then Connect. An installed copy keeps its settings (CL.ini) and print settings\n"
    "in $XDG_CONFIG_HOME/korvelchat2 (~/.config/korvelchat2); a copy run from its build\n"
    "folder keeps them beside the program.\n"
    "\n"
    "Environment:\n"
    "  KORVELCHAT_CONFIG_DIR    another folder for CL.ini and the print settings\n"
    "  KORVELCHAT_PRINT_PDF     print the history to this PDF file instead of a printer\n"
    "  KORVELCHAT_INSTANCE_NAME the name under which only one copy runs\n";

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(Usage, stdout);
            const QCoreApplication core(argc, argv);
            std::printf("\nThis copy's settings folder: %s\n", qPrintable(ConfigDir()));
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-v") == 0) {
            std::puts("korvelchat2 " KORVEL_VERSION);
            return 0;
        }
    }
    TApplication app(argc, argv);
    try {
        TPalnorForm form;
        if (form.AnotherInstanceRunning()) {
            if (form.RunningCopyUnreachable())
                std::fputs("korvelchat2: another copy of the program runs, but it could not be asked to come "
                           "forward; look for its window.\n",
                           stderr);
            return 0;
        }
        form.show();
        return app.exec();
    } catch (const std::exception& E) {
        ShowException(E);
        return 1;
    }
}
