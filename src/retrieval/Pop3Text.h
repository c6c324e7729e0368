#pragma once
// What the POP3 client makes of reply texts, apart from the connection: the STAT numbers, the
// listings, and the routing of a streamed message's lines into its texts.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ph {
class CEmailMessage;
}

namespace ph::pop3 {

// The count after the reply's first blank or tab and the size after its second; false when
// the reply has fewer than two.
bool ParseStat(std::string_view reply, int& count, int& size);
// The sizes of a LIST reply in listing order: after the first line, the number after every
// blank or tab up to the first ".". The numbers on the lines are not read: the k-th size
// belongs to message k.
std::vector<uint32_t> ParseListing(std::string_view reply);
// The ids of a UIDL reply: after the first line, exactly `count` lines, each read as two
// words (at most 15 and 999 characters); the second word is the id, empty when missing.
std::vector<std::string> ParseUidListing(std::string_view reply, int count);
// The text after the first line end (CRLF, LFCR, LF or CR).
std::string_view AfterFirstLine(std::string_view reply);
// The text with every line end (CRLF, LFCR, LF or CR) made CRLF, the form the parser reads.
std::string WithCrlfLineEnds(std::string_view text);

// Routes the lines of a message being downloaded: the first header block to Header, the rest
// to Body, and the content of text parts to PlainText or HtmlText (decoded), following the
// MIME structure as the lines arrive, so that the download can stop once the texts are in.
class StreamedMessage {
public:
    explicit StreamedMessage(CEmailMessage& message) : m_message(message) {}
    // One line without its end; `complete` is false for a piece of a longer line. False once
    // the texts are in and an attachment follows the HTML text: the rest is not needed.
    bool Add(std::string_view line, bool complete);
    // Decodes the part that was still open when the message ended.
    void Finish();

private:
    enum class Mode { HeaderBlock, Content, SkipToDelimiter };
    enum class Destination { None, Plain, Html };
    enum class Encoding { None, QuotedPrintable, Base64 };

    void ExamineHeaderLine(std::string_view line);
    std::string* Target();
    void EndPart();

    CEmailMessage& m_message;
    bool m_inMessageHeader = true;
    bool m_lineContinues = false;  // the previous piece was part of a longer line
    Mode m_mode = Mode::HeaderBlock;
    Destination m_destination = Destination::None;
    Encoding m_encoding = Encoding::None;
    bool m_nonTextPart = false;  // the current part declared a type other than text
    size_t m_partStart = 0;      // where the current part's content begins in its target
    std::vector<std::string> m_delimiters;
};

}  // namespace ph::pop3
