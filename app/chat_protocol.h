#pragma once
// The chat server's lines: what the client sends and how it reads what arrives. Pure functions,
// no widgets and no sockets.
#include <QString>
#include <QStringList>
#include <QTime>

#include <string>
#include <string_view>
#include <vector>

// A received line as text, up to its first zero byte: UTF-8 when it is valid UTF-8, otherwise
// Windows-1252.
QString ReceivedText(std::string_view Bytes);

enum class TChunkKind { UserList, ChatLine, Welcome, Other };

// A received line is classified by its first characters: "~" user list, "&" chat line,
// "*w" welcome, anything else ignored.
TChunkKind ClassifyChunk(const QString& Text);

// The entries of a comma text (the user list after its "~"): separated by commas or blanks,
// quoted with double quotes (a doubled quote inside stands for one), empty entries kept. A
// quoted entry without its closing quote runs to the end.
QStringList ParseCommaText(const QString& Text);

// A chat line "&<" sender ">" "<" message ">": the sender and the message, with the bytes 2, 1
// of the message turned back into line breaks (CR LF).
struct TChatLine {
    QString Sender;
    QString Message;
};
TChatLine ParseChatLine(const QString& Text);
// The sender of a received chat line as the bytes that came (up to a zero byte): what the login
// line sent comes back in them unchanged, whatever the code page made of it.
std::string ChatSenderBytes(std::string_view Line);

// " hh:mm " with the user's time separator.
QString ChatTimeStamp(const QTime& Now, const QString& Separator);

// The lines the client sends, with CR LF, as Windows-1252 bytes (what other clients read) or,
// for servers whose users all read it, as UTF-8.
enum class TWireCode { Ansi, Utf8 };
std::string LoginLine(const QString& Call, const QString& Name, TWireCode Code = TWireCode::Ansi);
std::string ChatLineBytes(const QString& Call, const QString& Name, const QString& Text,
                          TWireCode Code = TWireCode::Ansi);
std::string ExitLine();

// The time separator of a time format ("HH:mm" gives ":"): its first character that is neither
// a pattern letter nor a blank, outside quoted literals; ":" when there is none.
QString TimeSeparatorOf(const QString& Format);

// Splits the received text into lines and keeps an unfinished last line until the next read
// completes it. A line ends at CR LF or at a bare LF. A read that begins a new message ("~",
// "&" or "*") ends a held part that is complete in itself (anything but a chat line still
// waiting for its message's closing ">"), so a server that sends its messages without line
// ends loses none of them. Lines that follow a user-list line and hold nothing but entries of
// its kind continue the list: "CALL-NAME" entries in any comma text after a list of them, or
// entries like call signs (letters, digits, "-", "_", ".", "/") separated by commas. The list
// line is handed on again with them joined by line breaks. Any other line ends the list (an
// empty line leaves it open). A line that grows past MaxLine bytes is handed on as it stands,
// so a server that never ends its line cannot make the client hold ever more text.
class TReceivedLines {
public:
    static constexpr std::size_t MaxLine = 64 * 1024;

    // The complete lines of this read (without their line ends), the held part in front.
    std::vector<std::string> Feed(std::string_view Bytes);
    // What is held, handed on as a line (none when nothing is held); ends any open user list.
    std::vector<std::string> TakeRest();
    bool Holding() const { return !Held_.empty(); }

private:
    bool HeldIsComplete() const;
    void HandOn(std::vector<std::string>& Lines, std::string Line);

    std::string Held_;
    // The user list that later lines may still continue, and where it stands in this read.
    std::string List_;
    bool ListOpen_ = false;
    bool ListNamed_ = false;  // every entry of the list so far is "CALL-NAME"
    std::size_t ListIndex_ = 0;
    bool ListInThisRead_ = false;
};
