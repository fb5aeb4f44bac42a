// Program start: the application, the main window (the single-instance guard runs while it is
// made), then the message loop. A second copy ends before its window is shown.
#include "application.h"
#include "palnor_form.h"

int main(int argc, char** argv) {
    TApplication app(argc, argv);
    try {
        TPalnorForm form;
        if (form.AnotherInstanceRunning()) return 0;
        form.show();
        return app.exec();
    } catch (const std::exception& E) {
        ShowException(E);
        return 1;
    }
}
