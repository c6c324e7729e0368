#include "retrieval/Pop3Text.h"

#include <gtest/gtest.h>

#include "model/CEmailMessage.h"

namespace ph::pop3 {
namespace {

TEST(Pop3Text, StatListingAndIds) {
    int count = -1, size = -1;
    EXPECT_TRUE(ParseStat("+OK 3 4200", count, size));
    EXPECT_EQ(count, 3);
    EXPECT_EQ(size, 4200);
    EXPECT_TRUE(ParseStat("+OK\t0\t0", count, size));
    EXPECT_EQ(count, 0);
    EXPECT_FALSE(ParseStat("+OK 3", count, size));

    EXPECT_EQ(ParseListing("+OK 2 messages\r\n1 120\r\n2 3400"), (std::vector<uint32_t>{120, 3400}));
    // The numbers on the lines are not read; bare LF and LF CR ends work alike.
    EXPECT_EQ(ParseListing("+OK\n7 10\n\r9 20"), (std::vector<uint32_t>{10, 20}));
    EXPECT_TRUE(ParseListing("+OK\r\n").empty());

    const struct {
        const char* reply;
        int count;
        std::vector<std::string> ids;
    } cases[] = {
        {"+OK\r\n1 abc\r\n2 def", 2, {"abc", "def"}},
        {"+OK\n1 abc\n\r2 def", 2, {"abc", "def"}},
        {"+OK\r\n1\r\n2 def", 2, {"", "def"}},                      // a line without an id
        {"+OK\r\n1 abc\r\n2 def\r\n3 ghi", 2, {"abc", "def"}},      // exactly count lines
        {"+OK\r\n1 abc", 1000000000, {"abc"}},                     // a count the text cannot back
        {"+OK\r\n1234567890123456789 x", 1, {"6789"}},             // the first word is 15 at most
    };
    for (const auto& c : cases) EXPECT_EQ(ParseUidListing(c.reply, c.count), c.ids) << c.reply;
    EXPECT_EQ(AfterFirstLine("+OK\r\nA: b\r\n"), "A: b\r\n");
    EXPECT_EQ(AfterFirstLine("+OK"), "");
    EXPECT_EQ(WithCrlfLineEnds("a\n\rb\nc\rd\r\n\r\ne"), "a\r\nb\r\nc\r\nd\r\n\r\ne");
}

// Feeds a message as the line reader would deliver it; returns whether it read to the end.
bool Stream(CEmailMessage& m, std::string_view text) {
    StreamedMessage reader(m);
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find("\r\n", pos);
        if (end == std::string_view::npos) end = text.size();
        if (!reader.Add(text.substr(pos, end - pos), true)) return false;
        pos = end + 2;
    }
    reader.Finish();
    return true;
}

TEST(Pop3Text, StreamedMessageRoutesTextsAndStopsAtAttachmentAfterHtml) {
    const struct {
        const char* name;
        const char* text;
        bool readToEnd;
        std::string plain, html, attachmentType;
    } cases[] = {
        {"plain", "Subject: s\r\n\r\nline one\r\n..dotted\r\n", true, "line one\r\n.dotted\r\n", "", ""},
        {"alternative, quoted-printable and base64",
         "Content-Type: multipart/alternative; boundary=\"b1\"\r\n\r\npreamble\r\n"
         "--b1\r\nContent-Type: text/plain\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\ncaf=E9 =\r\nau lait\r\n"
         "--b1\r\nContent-Type: text/html\r\nContent-Transfer-Encoding: base64\r\n\r\nPGI+aGk8L2I+\r\n--b1--\r\n",
         true, "caf\xE9 au lait\r\n", "<b>hi</b>", ""},
        {"attachment after the html stops the download",
         "Content-Type: multipart/mixed; boundary=m\r\n\r\n"
         "--m\r\nContent-Type: text/html\r\n\r\n<p>x</p>\r\n"
         "--m\r\nContent-Type: application/pdf; name=\"a.pdf\"\r\nContent-Transfer-Encoding: base64\r\n\r\nJVBERi0=\r\n--m--\r\n",
         false, "", "<p>x</p>\r\n", "a.pdf"},
        {"attachment before any html is skipped, not poured into the text",
         "Content-Type: multipart/mixed; boundary=m\r\n\r\n"
         "--m\r\nContent-Type: image/png\r\nContent-Transfer-Encoding: base64\r\n\r\niVBORw0K\r\n"
         "--m\r\nContent-Type: text/plain\r\n\r\nafter\r\n--m--\r\n",
         true, "after\r\n", "", "image/png"},
        {"nested multipart",
         "Content-Type: multipart/mixed; boundary=o\r\n\r\n--o\r\n"
         "Content-Type: multipart/alternative; boundary=i\r\n\r\n--i\r\nContent-Type: text/plain\r\n\r\ninner\r\n--i--\r\n"
         "--o\r\nContent-Type: text/plain\r\n\r\nouter\r\n--o--\r\n",
         true, "inner\r\nouter\r\n", "", ""},
    };
    for (const auto& c : cases) {
        CEmailMessage m(nullptr);
        EXPECT_EQ(Stream(m, c.text), c.readToEnd) << c.name;
        EXPECT_EQ(m.PlainText, c.plain) << c.name;
        EXPECT_EQ(m.HtmlText, c.html) << c.name;
        EXPECT_EQ(m.AttachmentType, c.attachmentType) << c.name;
    }
}

TEST(Pop3Text, StreamedMessageSplitsHeaderAndBodyAndJoinsLongLines) {
    CEmailMessage m(nullptr);
    StreamedMessage reader(m);
    reader.Add("Subject: long", true);
    reader.Add("", true);
    reader.Add(std::string(256, 'a'), false);  // a line longer than the reader's limit
    reader.Add("bc", true);
    reader.Finish();
    EXPECT_EQ(m.Header, "Subject: long\r\n");
    EXPECT_EQ(m.Body, "\r\n" + std::string(256, 'a') + "bc\r\n");
    EXPECT_EQ(m.PlainText, std::string(256, 'a') + "bc\r\n");
}

}  // namespace
}  // namespace ph::pop3
