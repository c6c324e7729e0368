#include "message/ReplyForward.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ph::mime {
namespace {

const std::string kStyle =
    "<style type=\"text/css\">BODY { font-family: arial; font-size: 10pt } P { margin-top: 0em; margin-bottom: "
    "0em; } UL, OL { margin-top: 2px; margin-bottom: 5px; } </style>";
const std::string kClose = "</BLOCKQUOTE>\n";
constexpr int kPop3 = 2, kHotmail = 1, kAol = 3, kPH = 98;

ReplySettings Settings(int type, bool include = true) {
    return ReplySettings{"me@home.example", type, include, "member@placeholder.example"};
}

struct Source {
    CEmailMessage m{nullptr};
    Source() {
        m.From = "\"Bob Smith\" <bob@example.org>";
        m.FromName = "Bob Smith";
        m.FromAddress = "bob@example.org";
        m.Subject = "Hello";
        m.SentDate = DateTime::FromParts(2005, 11, 15, 8, 12, 31);
    }
};

// The quote opening, written out from the layout the compose window shows.
std::string Opening() {
    return "<DIV>&nbsp;</DIV>\n"
           "<BLOCKQUOTE style=\"PADDING-RIGHT: 0px; PADDING-LEFT: 5px; MARGIN-LEFT: 5px; BORDER-LEFT: #000000 2px "
           "solid; MARGIN-RIGHT: 0px\">\n"
           "<DIV style=\"FONT: 10pt arial\">----- Original Message ----- </DIV>"
           "<DIV style=\"BACKGROUND: #e4e4e4; FONT: 10pt arial; font-color: black\"><B>From:</B> "
           "<A href=\"mailto:bob@example.org\">Bob Smith</A> </DIV>\n"
           "<DIV style=\"FONT: 10pt arial\"><B>To:</B> <A href=\"mailto:me@home.example\">me@home.example</A> "
           "</DIV>\n"
           "<DIV style=\"FONT: 10pt arial\"><B>Subject:</B> Hello</DIV>\n"
           "<DIV><BR></DIV>\n";
}

TEST(ReplyForward, AddressesAndSubjectPrefixes) {
    struct Case {
        bool reply;
        int type;
        std::string subject, wantSubject, wantTo;
    };
    const std::vector<Case> cases = {
        {true, kPop3, "Hello", "Re: Hello", "\"Bob Smith\" <bob@example.org>"},
        {true, kPop3, "Re: Hello", "Re: Re: Hello", "\"Bob Smith\" <bob@example.org>"},
        {false, kPop3, "Hello", "FWD: Hello", ""},
        {false, kAol, "Re: Hello", "FWD: Re: Hello", ""},
        {true, kPH, "Hello", "Re: Hello", "member@placeholder.example"},
        {false, kPH, "Hello", "FWD: Hello", ""},
    };
    for (const Case& c : cases) {
        Source s;
        s.m.Subject = c.subject;
        const ReplyDraft d = c.reply ? BuildReply(s.m, Settings(c.type)) : BuildForward(s.m, Settings(c.type));
        SCOPED_TRACE(c.wantSubject + " type " + std::to_string(c.type));
        EXPECT_EQ(d.Subject, c.wantSubject);
        EXPECT_EQ(d.To, c.wantTo);
        EXPECT_EQ(d.From, "me@home.example");
        EXPECT_EQ(d.plainText, c.type == kAol || c.type == kHotmail);
    }
}

TEST(ReplyForward, ReplyTakesFullFromOutOfHeaderWhenStoredFromLacksAddress) {
    Source s;
    s.m.From = "Bob Smith";
    s.m.Header = "Subject: Hello\r\nFrom: Bob Smith <bob@example.org>\r\nTo: me@home.example";
    EXPECT_EQ(BuildReply(s.m, Settings(kPop3)).To, "Bob Smith <bob@example.org>");
}

TEST(ReplyForward, HtmlBodies) {
    struct Case {
        const char* what;
        std::string html, plain;
        bool include;
        std::string want;
    };
    const std::vector<Case> cases = {
        {"setting off with an HTML source", "<BODY>hi</BODY>", "hi plain", false,
         kStyle + "<BODY>hi plain</BODY>"},
        {"no HTML text", "", "just text", true, kStyle + "<BODY>just text</BODY>"},
        {"setting off, no texts at all", "", "", false, kStyle + "<BODY></BODY>"},
        {"quote inside the body tags, their case kept", "<html><body bgcolor=\"#fff\">hi</Body ><p>x</html>", "",
         true, kStyle + "<html><body bgcolor=\"#fff\">" + Opening() + "hi</Body >" + kClose + "<p>x</html>"},
        {"no body tag", "<p>hi</p>", "", true, Opening() + kStyle + "<p>hi</p>" + kClose},
        {"body tag never closed", "<BODY class=x", "", true, Opening() + kStyle + "<BODY class=x" + kClose},
        {"only the first body tags count", "<BODY>a</BODY><BODY>b</BODY>", "", true,
         kStyle + "<BODY>" + Opening() + "a</BODY>" + kClose + "<BODY>b</BODY>"},
    };
    for (const Case& c : cases) {
        for (bool reply : {true, false}) {
            Source s;
            s.m.HtmlText = c.html;
            s.m.PlainText = c.plain;
            const ReplySettings settings = Settings(kPop3, c.include);
            const ReplyDraft d = reply ? BuildReply(s.m, settings) : BuildForward(s.m, settings);
            SCOPED_TRACE(std::string(c.what) + (reply ? " (reply)" : " (forward)"));
            EXPECT_FALSE(d.plainText);
            EXPECT_EQ(d.Body, c.want);
        }
    }
}

TEST(ReplyForward, PlainBodyQuotesEveryLine) {
    struct Case {
        std::string plain;
        std::vector<std::string> wantTail;  // the lines after the quoted header block
    };
    const std::vector<Case> cases = {
        {"one\r\n\r\ntwo", {">one", ">", ">two", ">"}},
        {"bare\nbreaks\n", {">bare", ">breaks", ">", ">"}},
        {"", {">", ">"}},
    };
    for (const Case& c : cases) {
        Source s;
        s.m.PlainText = c.plain;
        s.m.HtmlText = "<BODY>ignored</BODY>";
        const ReplyDraft d = BuildReply(s.m, Settings(kHotmail));
        SCOPED_TRACE(c.plain);
        ASSERT_TRUE(d.plainText);
        std::vector<std::string> lines;
        std::string line;
        for (char ch : d.Body) {
            if (ch == '\n') {
                lines.push_back(line);
                line.clear();
            } else if (ch != '\r') {
                line += ch;
            }
        }
        lines.push_back(line);
        std::vector<std::string> want = {">From: me@home.example", ">To: bob@example.org", ">Subject: Hello",
                                         ">Date: " + s.m.SentDate.ToStoreText(), ">", ">"};
        want.insert(want.end(), c.wantTail.begin(), c.wantTail.end());
        EXPECT_EQ(lines, want);
    }
    Source s;
    s.m.PlainText = "text";
    EXPECT_EQ(BuildForward(s.m, Settings(kAol, false)).Body, "");
}

TEST(ReplyForward, FetchesTextsOnlyWhenTheyAreNeededAndStillStored) {
    struct Case {
        const char* what;
        bool include, inMemory, cached;
        std::string plain;
        bool wantFetch;
    };
    const std::vector<Case> cases = {
        {"texts only in the store", true, false, true, "", true},
        {"original not included", false, false, true, "", false},
        {"texts already fetched", true, true, true, "", false},
        {"nothing stored", true, false, false, "", false},
        {"a text in memory", true, false, true, "have it", false},
    };
    for (const Case& c : cases) {
        for (bool reply : {true, false}) {
            Source s;
            s.m.PlainText = c.plain;
            s.m.m_textsInMemory = c.inMemory;
            s.m.m_textCached = c.cached;
            int calls = 0;
            const FetchTexts fetch = [&](CEmailMessage& m) {
                ++calls;
                m.PlainText = "from the store";
                m.m_textsInMemory = true;
                return true;
            };
            const ReplySettings settings = Settings(kAol, c.include);
            const ReplyDraft d = reply ? BuildReply(s.m, settings, fetch) : BuildForward(s.m, settings, fetch);
            SCOPED_TRACE(std::string(c.what) + (reply ? " (reply)" : " (forward)"));
            EXPECT_EQ(calls, c.wantFetch ? 1 : 0);
            EXPECT_EQ(d.Body.find(">from the store\r\n") != std::string::npos, c.wantFetch);
        }
    }
}

}  // namespace
}  // namespace ph::mime
