#pragma once
// Shared by the benchmarks that drive the whole window: a folder of its own for the window's
// files, the font names the window asks for, waiting for it to be shown, and a listening socket
// for the local peer.
#include <QCoreApplication>
#include <QFile>
#include <QFont>
#include <QFontDatabase>
#include <QWidget>
#include <QWindow>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>

namespace bench {

// Points the window's settings, conversation log and single-instance block at Folder, and
// writes a CL.ini that logs in to 127.0.0.1:Port as BENCH-Name.
inline bool WindowFolder(const QString& Folder, const char* Name, uint16_t Port) {
    qputenv("KORVELCHAT_CONFIG_DIR", Folder.toLocal8Bit());
    qputenv("XDG_DATA_HOME", (Folder + QStringLiteral("/data")).toLocal8Bit());
    qputenv("KORVELCHAT_INSTANCE_NAME", QByteArray("KorvelBench") + Name + QByteArray::number(::getpid()));
    QFile ini(Folder + QStringLiteral("/CL.ini"));
    if (!ini.open(QIODevice::WriteOnly)) return false;
    ini.write("[FORM]\r\nHost=127.0.0.1\r\nPort=" + QByteArray::number(Port) + "\r\nUser=BENCH\r\nName=" +
              Name + "\r\nLeft=0\r\nTop=0\r\nWidth=556\r\nHeight=407\r\n");
    return true;
}

inline void FontSubstitutions() {
    QFont::insertSubstitution(QStringLiteral("Arial"), QStringLiteral("Liberation Sans"));
    const QString sans = QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
    QFont::insertSubstitution(QStringLiteral("MS Sans Serif"), sans);
    QFont::insertSubstitution(QStringLiteral("Ms Sans Serif"), sans);
}

inline void WaitExposed(QWidget& W) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!(W.windowHandle() && W.windowHandle()->isExposed()) &&
           std::chrono::steady_clock::now() < deadline)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
}

// A socket listening on 127.0.0.1 on a port the system picks; -1 when that failed.
inline int ListenOnLoopback(uint16_t& Port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 1) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd >= 0) ::close(fd);
        return -1;
    }
    Port = ntohs(a.sin_port);
    return fd;
}

}  // namespace bench
