#pragma once
// The chat server's lines: what the client sends and how it reads what arrives. Pure functions,
// no widgets and no sockets.
#include <QString>
#include <QStringList>
#include <QTime>

#include <string>
#include <string_view>
#include <vector>

// A received line as text: Windows-1252, up to its first zero byte.
QString FromAnsiLine(std::string_view Bytes);

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

// " hh:mm " with the user's time separator.
QString ChatTimeStamp(const QTime& Now, const QString& Separator);

// The lines the client sends, as Windows-1252 bytes with CR LF.
std::string LoginLine(const QString& Call, const QString& Name);
std::string ChatLineBytes(const QString& Call, const QString& Name, const QString& Text);
std::string ExitLine();

// Splits the received text into lines at CR LF and keeps an unfinished last line until the next
// read completes it. A line that grows past MaxLine bytes is handed on as it stands, so a server
// that never ends its line cannot make the client hold ever more text.
class TReceivedLines {
public:
    static constexpr std::size_t MaxLine = 64 * 1024;

    // The complete lines of this read (without their CR LF), the held part in front.
    std::vector<std::string> Feed(std::string_view Bytes);
    // What is held (a line still waiting for its end), handed on and forgotten.
    std::string TakeRest();
    bool Holding() const { return !Held_.empty(); }

private:
    std::string Held_;
};
