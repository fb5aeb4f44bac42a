#pragma once
// The SOCKS client layer of the socket object: with SocksServer set, Connect reaches the peer
// (Addr, Port) through a SOCKS 4, 4A or 5 proxy, and the owner gets OnSessionConnected only
// once the tunnel stands. Without a SOCKS server it passes everything through. The proxy
// settings hold for one connection: SocksServer, SocksPort and SocksLevel are cleared before its
// close is reported, so a connection started from OnSessionClosed has only the settings it set.
#include "socks_reply.h"
#include "wsocket.h"

#include <optional>

enum TSocksAuthentication : uint8_t { socksNoAuthentication, socksAuthenticateUsercode };
enum TSocksAuthState : uint8_t { sasStarting, sasSucceeded, sasFailed, sasNotRequired };

using TSocksErrorEvent = std::function<void(QObject* Sender, int Error, const std::string& Msg)>;
using TSocksAuthStateEvent = std::function<void(QObject* Sender, TSocksAuthState AuthState)>;

class TCustomSocksWSocket : public TCustomWSocket {
public:
    using TCustomWSocket::TCustomWSocket;

    void Connect() override;
    void Listen() override;
    int Resume() override;

    std::string SocksLevel() const { return SocksLevel_; }
    void SetSocksLevel(const std::string& Value);
    std::string SocksServer() const { return SocksServer_; }
    void SetSocksServer(const std::string& Value);
    std::string SocksPort() const { return SocksPort_; }
    void SetSocksPort(const std::string& Value);
    std::string SocksUsercode() const { return SocksUsercode_; }
    void SetSocksUsercode(const std::string& Value) { SocksUsercode_ = Value; }
    std::string SocksPassword() const { return SocksPassword_; }
    void SetSocksPassword(const std::string& Value) { SocksPassword_ = Value; }
    TSocksAuthentication SocksAuthentication() const { return SocksAuthentication_; }
    void SetSocksAuthentication(TSocksAuthentication Value) { SocksAuthentication_ = Value; }

    // The last handshake failure: its code, the text OnSocksError had, and the proxy's reply
    // bytes in hex (empty when the failure did not come from a reply).
    struct TSocksFailure {
        int Code = 0;
        std::string Text;
        std::string Reply;
    };
    const TSocksFailure& LastSocksFailure() const { return LastSocksFailure_; }

    TSessionConnected OnSocksConnected;
    TSocksErrorEvent OnSocksError;
    TSocksAuthStateEvent OnSocksAuthState;

protected:
    // Forgets the proxy settings of the connection that ended (they hold for one connection).
    // Done when its close is reported, or earlier by a layer that raises events of the ended
    // connection first and says so with SocksSettingsCleared.
    void ClearSocksSettings();
    bool SocksSettingsCleared = false;
    // Where the handshake stands. Version 4 and 4A use ssMethodChoice only while the TCP
    // connection to the proxy is being opened.
    enum TSocksState : uint8_t {
        ssIdle,          // no proxy, or the tunnel is up
        // Version 5.
        ssMethodChoice,  // the proxy's choice of method is awaited
        ssAuthResult,    // the answer to the credentials is awaited
        // Every version.
        ssConnectReply,  // the answer to the connect request is awaited
    };

    void ResetToDefaults() override;
    void DoClose(bool ShutFirst, uint16_t Error) override;
    int GetRcvdCount() override;
    bool FireDataAvailable(uint16_t Error) override;
    void FireSessionConnected(uint16_t Error) override;
    void FireSessionClosed(uint16_t Error) override;
    void FireDataSent(uint16_t Error) override;
    void FireSendData(int Count) override;
    void ConnectionLost(int Error) override;
    int RecvRaw(void* Buffer, int Len, int Flags) override;

    virtual void FireSocksConnected(uint16_t ErrCode);
    virtual void FireSocksError(int Error, const std::string& Msg);
    void FireSocksAuthState(TSocksAuthState AuthState);

    bool SocksNegotiating() const { return SocksState != ssIdle; }

private:
    void SetSocksState(TSocksState Next);
    TSocksVersion Version() const;
    bool HandleReply(TSocksOutcome Outcome);
    void FailSocks(int Code, const std::string& Text, const std::string& Reply = {});
    bool Succeed();
    void SendSocksConnectRequest();
    void SendSocksCredentials();
    void SendRequest(const std::string& Bytes);

    TSocksState SocksState = ssIdle;
    TSocksReplyReader SocksReply;
    // Bytes that came in behind the version-5 connect reply: the tunnel's first data.
    int SocksLeftoverCount = 0;
    int SocksLeftoverPos = 0;
    uint8_t SocksMethodOffered = 0;
    // Set while OnSocksError reports a failed attempt whose OnSessionConnected has not come yet:
    // a close the handler makes reports the failure before the close.
    std::optional<uint16_t> SocksFailureUnreported;
    bool SocksServerAssigned = false;
    bool SocksPortAssigned = false;

    std::string SocksLevel_ = "5";
    std::string SocksServer_;
    std::string SocksPort_;
    std::string SocksUsercode_;
    std::string SocksPassword_;
    TSocksAuthentication SocksAuthentication_ = socksNoAuthentication;
    TSocksFailure LastSocksFailure_;
};
