// Program start. The chat window is not built yet: for now the program checks that the socket
// layer can reach the local chat server and says what exists.
#include "line_wsocket.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::printf("KorvelChat 2: the socket layer is built; the chat window is not yet.\n");
    return 0;
}
