#pragma once
// The line-mode layer of the socket object. With LineMode on, OnDataAvailable comes once per
// complete line (ended by LineEnd) and Receive hands out exactly that line; received text can
// be edited (backspace, tab) and echoed to the peer. LineLimit bounds the bytes behind the last
// line end; while the owner leaves a line unread, reading from the platform pauses once enough
// is held behind it. With line mode off it passes everything through.
#include "tls_wsocket.h"

#include <string>
#include <vector>

using TLineLimitEvent = std::function<void(QObject* Sender, int RcvdLength, bool& ClearData)>;

// Posted to the socket's own window to deliver held bytes after LineMode changed.
constexpr msgwindow::UINT WM_SOCKET_REDISPATCH = msgwindow::WM_USER + 20;  // 1044

class TCustomLineWSocket : public TCustomTlsWSocket {
public:
    explicit TCustomLineWSocket(QObject* Owner = nullptr);

    void HandleWindowMessage(TMessage& Msg) override;
    int Resume() override;
    // A handler of a closed session's last lines that connects anew hears of that close first.
    void Connect() override;

    bool LineMode() const { return LineMode_; }
    virtual void SetLineMode(bool Value);
    int LineLimit() const { return LineLimit_; }
    void SetLineLimit(int Value) { LineLimit_ = Value; }
    std::string LineEnd() const { return LineEnd_; }
    void SetLineEnd(const std::string& Value) {
        LineEnd_ = Value;
        SearchFrom = 0;
    }
    bool LineEcho() const { return LineEcho_; }
    void SetLineEcho(bool Value) { LineEcho_ = Value; }
    bool LineEdit() const { return LineEdit_; }
    void SetLineEdit(bool Value) { LineEdit_ = Value; }

    // Sends Str followed by LineEnd; 0 (and nothing sent) for an empty Str.
    int WriteLine(const std::string& Str);

    TLineLimitEvent OnLineLimitExceeded;

protected:
    int GetRcvdCount() override;
    bool FireDataAvailable(uint16_t Error) override;
    void FireSessionClosed(uint16_t Error) override;
    int RecvRaw(void* Buffer, int Len, int Flags) override;
    // Edits the Count bytes received behind the held ones; see the .cpp.
    virtual void ApplyLineEditing(int& Count);
    virtual void FireLineLimitExceeded(int RcvdLength, bool& ClearData);
    // Bytes received and not yet delivered.
    int LineHeldCount() const { return LineHeld; }

private:
    // How a delivery pass ended: the session closed under it, lines stay held (declined,
    // paused, or the time slice is over), or no complete line is left.
    enum class TDelivery { Closed, Held, NoLineEnd };
    enum class TSlice { Yield, Ignore };
    TDelivery DeliverLines(TSlice Slice);
    bool FindLine();
    int LineTailStart() const;
    void CheckLineLimit(TDelivery Delivery);
    void Redispatch();
    void DropHeld(int Count);
    void CompactHeld();
    void FreeLineBuffer();
    char* Held() { return LineBuffer.data() + LineStart; }
    const char* Held() const { return LineBuffer.data() + LineStart; }

    // Bytes received and not yet delivered, from the start of the current line, at LineStart
    // in the buffer: a delivered line only moves LineStart, and the held bytes move to the
    // front once per read, so a pass over many lines costs what the lines hold. The buffer
    // exists from the first read in line mode until the session closes.
    std::vector<char> LineBuffer;
    int LineStart = 0;
    int LineHeld = 0;
    // The length, line end included, of the unread part of the line that is ready for
    // reading at the start of the held bytes; 0 when there is none.
    int LineLength = 0;
    // No line end starts before this position of the held bytes.
    int SearchFrom = 0;
    bool LineFound = false;
    bool LineLimitRunning = false;
    // The last lines of a closed session are being delivered; its close is reported after them,
    // or by a Connect that one of their handlers makes.
    bool LastLinesOfClose = false;
    uint16_t LastLinesCloseError = 0;
    // A read from the platform was skipped because a line waits unread (see FireDataAvailable):
    // once the owner takes it, a posted FD_READ resumes reading.
    bool ReadHeldBack = false;
    // DeliverLines is on the stack: a line the owner reads is followed by the next in turn.
    int Delivering = 0;
    // Lines offered since the time slice was last looked at: the clock is read once every
    // SliceCheckLines lines, since reading it costs as much as offering a short line.
    unsigned LinesSinceSliceCheck = 0;
    // Counts the frees of the buffer, so that a loop can tell that a handler closed the
    // session under it.
    unsigned LineBufferGeneration = 0;

    bool LineMode_ = false;
    int LineLimit_ = 65536;
    std::string LineEnd_ = "\r\n";
    bool LineEcho_ = false;
    bool LineEdit_ = false;
};

// TCustomSyncWSocket and the leaf class TWSocket, which users of this header expect from it.
#include "sync_wsocket.h"
