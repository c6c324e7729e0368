#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "message/Decoders.h"
#include "message/Encoders.h"
#include "message/MimeComposer.h"
#include "unit/model/ScratchDir.h"

namespace ph::mime {
namespace {

std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string out(size, '\0');
    for (char& c : out) c = static_cast<char>(rng() & 0xFF);
    return out;
}

std::vector<std::string> SplitCrlf(const std::string& text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    for (size_t end; (end = text.find("\r\n", pos)) != std::string::npos; pos = end + 2)
        lines.push_back(text.substr(pos, end - pos));
    lines.push_back(text.substr(pos));
    return lines;
}

std::string Written(const CMimeMessage& message, bool* ok = nullptr) {
    std::string out;
    const bool written = message.WriteMessage([&out](std::string_view piece) {
        out.append(piece);
        return true;
    });
    if (ok) *ok = written;
    return out;
}

// A message whose Date is fixed: Tuesday, November 15, 2005 08:12:31 in the given zone.
void FixClock(CMimeMessage& message, int zoneMinutes) {
    message.SetClock([zoneMinutes] { return MessageTime{DateTime::FromParts(2005, 11, 15, 8, 12, 31), zoneMinutes}; });
}

TEST(MimeEncoders, HeaderValuesBecomeOneEncodedWordOnlyWithHighBytes) {
    const struct {
        std::string value, expected;
    } cases[] = {
        {"Meeting at 10 = ok?", "Meeting at 10 = ok?"},
        {"Caf\xE9 au lait", "=?iso-8859-1?q?Caf=E9_au_lait?="},
        {"a=b?c_d \xFF", "=?iso-8859-1?q?a=3Db=3Fc=5Fd_=FF?="},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EncodeHeaderWord(c.value, "iso-8859-1"), c.expected) << c.value;
    }
}

TEST(MimeEncoders, QuotedPrintableWrapsAfterWhiteSpaceOrWholeEscape) {
    const std::string letters(100, 'a');
    const struct {
        const char* name;
        std::string text;
        std::vector<std::string> lines;
    } cases[] = {
        {"letters only", letters, {std::string(77, 'a') + "=", std::string(23, 'a')}},
        {"back to a space", std::string(70, 'b') + " " + std::string(20, 'c'),
         {std::string(70, 'b') + " =", std::string(20, 'c')}},
        {"not through an escape", std::string(73, 'd') + "\xE9\xE9" + "e",
         {std::string(73, 'd') + "=E9=", "=E9e"}},
        {"escape straddling the limit", std::string(75, 'f') + "\xE9" + "g",
         {std::string(75, 'f') + "=", "=E9g"}},
        {"escape starting at the limit", std::string(76, 'f') + "\xE9" + "g",
         {std::string(76, 'f') + "=", "=E9g"}},
        {"hard breaks restart the count", std::string(77, 'h') + "\r\n" + std::string(60, 'i'),
         {std::string(77, 'h'), std::string(60, 'i')}},
        {"specials", "x=y\ttab\x7F", {"x=3Dy\ttab=7F"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SplitCrlf(EncodeQuotedPrintable(c.text)), c.lines) << c.name;
    }
}

TEST(MimeEncoders, QuotedPrintableDecodesBackAndKeepsLinesShort) {
    for (unsigned seed = 1; seed <= 20; ++seed) {
        std::string text = RandomBytes(2000, seed);
        // Our decoder drops zero bytes and a lone CR or LF cannot survive unchanged as a line end.
        for (char& c : text)
            if (c == '\0' || c == '\r' || c == '\n') c = ' ';
        const std::string encoded = EncodeQuotedPrintable(text);
        for (const std::string& line : SplitCrlf(encoded)) {
            EXPECT_LE(line.size(), 78u) << seed;
        }
        std::string decoded = encoded;
        DecodeQuotedPrintable(decoded);
        EXPECT_EQ(decoded, text) << seed;
    }
}

TEST(MimeEncoders, LineBreaksDotsBase64AndBoundaries) {
    EXPECT_EQ(NormalizeLineBreaks("a\rb\nc\r\nd\n\re"), "a\r\nb\r\nc\r\nd\r\n\r\ne");
    EXPECT_EQ(DotStuff(".x\r\ny.\r\n..z\r\n"), "..x\r\ny.\r\n...z\r\n");

    const std::string data = RandomBytes(100, 7);
    const std::vector<std::string> lines = SplitCrlf(Base64Lines(data));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].size(), 76u);
    EXPECT_EQ(lines[1].size(), 60u);
    EXPECT_EQ(lines[2], "");
    std::string decoded = lines[0] + lines[1];
    DecodeBase64(decoded);
    EXPECT_EQ(decoded, data);

    const std::regex uuid("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    const std::string first = NewUuid();
    EXPECT_TRUE(std::regex_match(first, uuid)) << first;
    EXPECT_NE(NewUuid(), first);
}

TEST(MimeComposer, HeaderFollowsTheModeAndListsGiven) {
    const MessageTime when{DateTime::FromParts(2005, 11, 15, 8, 12, 31), 0};
    const struct {
        const char* name;
        std::function<void(CMimeMessage&)> build;
        std::string expected;
    } cases[] = {
        {"plain single part",
         [](CMimeMessage& m) {
             m.SetFrom({"", "a@x.org"});
             m.AddRecipient({"Bob", "b@x.org"}, kTo);
             m.AddRecipient({"", "hidden@x.org"}, kBcc);
             m.Subject = "Hi";
             m.SetBodyText("body");
         },
         "From: a@x.org\r\nTo: Bob <b@x.org>\r\nSubject: Hi\r\nDate: Tue, 15 Nov 2005 08:12:31 +0000\r\n"
         "X-Mailer: Postharbour v1.0\r\nContent-Type: text/plain;\r\n\tcharset=iso-8859-1\r\n"},
        {"mime with cc, reply-to and an extra line",
         [](CMimeMessage& m) {
             m.SetFrom({"Ann", "a@x.org"});
             m.AddRecipient({"", "b@x.org"}, kTo);
             m.AddRecipient({"", "c@x.org"}, kTo);
             m.AddRecipient({"Cy", "d@x.org"}, kCc);
             m.SetReplyTo({"", "r@x.org"});
             m.AddHeader("X-Priority: 3");
             m.Subject = "\xC0 bient\xF4t";
             m.SetMimeMode(true);
             m.SetBodyText("body");
         },
         "From: Ann <a@x.org>\r\nTo: b@x.org,c@x.org\r\nCc: Cy <d@x.org>\r\n"
         "Subject: =?iso-8859-1?q?=C0_bient=F4t?=\r\nDate: Tue, 15 Nov 2005 08:12:31 +0000\r\n"
         "X-Mailer: Postharbour v1.0\r\nContent-Transfer-Encoding: quoted-printable\r\n"
         "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"@\"\r\n"
         "Reply-To: r@x.org\r\nX-Priority: 3\r\n"},
        {"mime without children",
         [](CMimeMessage& m) {
             m.SetMimeMode(true);
             m.Root().QuotedPrintable = false;
         },
         "From: \r\nTo: \r\nSubject: \r\nDate: Tue, 15 Nov 2005 08:12:31 +0000\r\nX-Mailer: Postharbour v1.0\r\n"
         "MIME-Version: 1.0\r\nContent-Type: multipart/mixed\r\n"},
    };
    for (const auto& c : cases) {
        CMimeMessage message;
        message.SetClock([&when] { return when; });
        c.build(message);
        std::string expected = c.expected;
        if (size_t at = expected.find('@', expected.find("boundary=")); at != std::string::npos)
            expected.replace(at, 1, message.Root().Boundary());
        EXPECT_EQ(message.BuildHeader(), expected) << c.name;
    }
}

TEST(MimeComposer, DateCarriesTheZoneOfTheClock) {
    const struct {
        int minutes;
        const char* zone;
    } cases[] = {{0, "+0000"}, {-480, "-0800"}, {330, "+0530"}, {-30, "-0030"}};
    for (const auto& c : cases) {
        CMimeMessage message;
        FixClock(message, c.minutes);
        const std::string date = std::string("\r\nDate: Tue, 15 Nov 2005 08:12:31 ") + c.zone + "\r\n";
        EXPECT_NE(message.BuildHeader().find(date), std::string::npos) << c.zone;
    }
}

TEST(MimeComposer, BodyAndHtmlSettersShapeTheTree) {
    struct Shape {
        std::string rootType;
        std::vector<std::string> childTypes;
    };
    const struct {
        const char* name;
        std::function<void(CMimeMessage&)> build;
        Shape expected;
    } cases[] = {
        {"plain body stays in the root", [](CMimeMessage& m) { m.SetBodyText("b"); }, {"text/plain", {}}},
        {"mime body becomes a child",
         [](CMimeMessage& m) {
             m.SetMimeMode(true);
             m.SetBodyText("b");
             m.SetBodyText("b");
         },
         {"multipart/mixed", {"text/plain"}}},
        {"html joins the body",
         [](CMimeMessage& m) {
             m.SetMimeMode(true);
             m.SetBodyText("b");
             m.SetHtmlText("<p>h</p>");
             m.SetHtmlText("<p>h</p>");
         },
         {"multipart/related", {"text/plain", "text/html"}}},
        {"attachment moves the body into a child",
         [](CMimeMessage& m) {
             m.SetBodyText("b");
             auto part = std::make_unique<CMimePart>();
             part->AttachData("a.bin", "x");
             m.AddAttachment(std::move(part));
         },
         {"multipart/mixed", {"text/plain", "application/octet-stream"}}},
        {"leaving mime drops the children", [](CMimeMessage& m) {
             m.SetMimeMode(true);
             m.SetHtmlText("<p>h</p>");
             m.SetMimeMode(false);
         },
         {"text/plain", {}}},
    };
    for (const auto& c : cases) {
        CMimeMessage message;
        c.build(message);
        Shape got{message.Root().Type, {}};
        for (const auto& child : message.Root().Children()) {
            got.childTypes.push_back(child->Type);
            EXPECT_EQ(child->Parent(), &message.Root()) << c.name;
        }
        EXPECT_EQ(got.rootType, c.expected.rootType) << c.name;
        EXPECT_EQ(got.childTypes, c.expected.childTypes) << c.name;
    }
}

TEST(MimeComposer, SwitchingModesKeepsTheBodyText) {
    CMimeMessage message;
    message.SetBodyText("line one\nline two");
    message.SetMimeMode(true);
    const CMimePart* plain = message.Root().FindChild("text/plain");
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->Text, "line one\r\nline two");
    message.SetMimeMode(false);
    EXPECT_FALSE(message.Root().IsContainer());
    EXPECT_EQ(message.Root().Text, "line one\r\nline two");
}

TEST(MimeComposer, WritesPartsWithTheirHeadersAndEncodings) {
    CMimeMessage message;
    FixClock(message, 60);
    message.SetMimeMode(true);
    message.SetBodyText(".x\n=\n");
    const std::string data = RandomBytes(100, 3);
    auto attachment = std::make_unique<CMimePart>();
    attachment->AttachData("d.bin", data);
    attachment->ContentId = "<d1>";
    message.AddAttachment(std::move(attachment));

    bool ok = false;
    const std::string text = Written(message, &ok);
    ASSERT_TRUE(ok);
    const CMimePart& root = message.Root();
    const std::string& b = root.Boundary();
    const std::string lines = Base64Lines(data);
    const std::string expectedBody = "\r\nThis is a multi-part message in MIME format"
                                     "\r\n--" + b + "\r\nContent-Type: text/plain; charset=iso-8859-1\r\n"
                                     "Content-Transfer-Encoding: quoted-printable\r\n\r\n..x\r\n=3D\r\n"
                                     "\r\n\r\n--" + b + "\r\nContent-Type: application/octet-stream; "
                                     "charset=iso-8859-1; name=d.bin\r\nContent-Transfer-Encoding: base64\r\n"
                                     "Content-Disposition: attachment; filename=\"d.bin\"\r\nContent-ID: <d1>\r\n\r\n"
                                     + lines + "\r\n--" + b + "--";
    EXPECT_EQ(text, message.BuildHeader() + expectedBody);
}

TEST(MimeComposer, AttachmentFilesAreReadWhenWrittenAndFailCleanly) {
    test::ScratchDir dir;
    // More than one read slice, with a tail that is not a whole base64 line.
    const std::string data = RandomBytes(57 * 1024 + 5, 11);
    test::WriteFile(dir / "big.bin", data);

    CMimePart missing;
    EXPECT_FALSE(missing.AttachFile(dir / "absent.bin"));
    EXPECT_FALSE(missing.IsAttachment());

    CMimeMessage message;
    auto part = std::make_unique<CMimePart>();
    ASSERT_TRUE(part->AttachFile(dir / "big.bin"));
    EXPECT_EQ(part->FileName, "big.bin");
    message.AddAttachment(std::move(part));

    const std::string text = Written(message);
    const size_t start = text.find("\r\n\r\n", text.find("filename=\"big.bin\"")) + 4;
    std::string body = text.substr(start, text.rfind("\r\n--") - start);
    DecodeBase64(body);
    EXPECT_EQ(body, data);

    std::filesystem::remove(dir / "big.bin");
    bool ok = true;
    Written(message, &ok);
    EXPECT_FALSE(ok);

    int calls = 0;
    EXPECT_FALSE(message.WriteMessage([&calls](std::string_view) { return ++calls < 2; }));
    EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace ph::mime
