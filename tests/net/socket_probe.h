#pragma once
// A TWSocket that records its events as readable lines and opens its protected state to tests.
#include "line_wsocket.h"

#include <string>
#include <vector>

class RecordingSocket : public TWSocket {
public:
    explicit RecordingSocket(QObject* Owner = nullptr) : TWSocket(Owner) {
        OnChangeState = [this](QObject*, TSocketState o, TSocketState n) {
            Log.push_back(StateName(o) + ">" + StateName(n));
        };
        OnSessionConnected = [this](QObject*, uint16_t e) { Log.push_back("connected " + std::to_string(e)); };
        OnSessionClosed = [this](QObject*, uint16_t e) {
            Log.push_back("closed " + std::to_string(e) + " in " + StateName(State()));
        };
        OnDataSent = [this](QObject*, uint16_t e) { Log.push_back("sent " + std::to_string(e)); };
    }

    static std::string StateName(TSocketState s) {
        static const char* const names[] = {"invalid", "opened", "bound", "connecting",
                                            "socksconnected", "connected", "accepting",
                                            "listening", "closed"};
        return names[s];
    }

    // Connects to 127.0.0.1:Port.
    void ConnectTo(uint16_t Port) {
        SetProto("tcp");
        SetAddr("127.0.0.1");
        SetPort(std::to_string(Port));
        Connect();
    }

    std::vector<std::string> Log;

    using TWSocket::AllSent;
    using TWSocket::BlockSize;
    using TWSocket::CloseReported;
    using TWSocket::Handle;
    using TWSocket::Paused;
    using TWSocket::ReadCount_;
    using TWSocket::PortAssigned;
    using TWSocket::QueueSendData;
    using TWSocket::SendChain;
    using TWSocket::TryToSend;
    using TWSocket::WindowHandle;
};

// A RecordingSocket whose name look-ups give a scripted answer when one is set.
class ScriptedSocket : public RecordingSocket {
public:
    std::vector<TSocketAddress> Answer;

protected:
    std::vector<TSocketAddress> ResolvePeerAddresses(const std::string& Host) override {
        return Answer.empty() ? RecordingSocket::ResolvePeerAddresses(Host) : Answer;
    }
};

inline const TSocketAddress V6Loopback = TSocketAddress::V6({{{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}}}, 0);
inline const TSocketAddress V4Loopback = TSocketAddress::V4(0x0100007F, 0);  // 127.0.0.1, network order
