#include "message/MimeParser.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <fstream>
#include <sstream>

#include "message/Dates.h"
#include "message/Decoders.h"
#include "message/TextSearch.h"
#include "support/Files.h"

namespace ph::mime {
namespace {

namespace fs = std::filesystem;

TEST(HeaderField, LookupIsAnchoredCaseInsensitiveAndUnfolds) {
    const std::string h =
        "From: Ann <ann@example.org>\r\nIn-Reply-To: <x@y>\r\nsubject: a\r\n b\r\nX-Tab:\tone\ttwo\r\n"
        "Received: first\r\nReceived: second\r\n\tcontinued\r\nTo:   bob@example.org   \r\n";
    struct Case {
        const char* name;
        int index;
        const char* value;
    } cases[] = {
        {"Subject", 0, "a   b"},  // CR, LF and the blank each become one space
        {"reply-to", 0, ""},      // never found inside "In-Reply-To"
        {"In-Reply-To", 0, "<x@y>"},
        {"From", 0, "Ann <ann@example.org>"},
        {"X-Tab", 0, "one two"},
        {"Received", 1, "second   continued"},
        {"Received", 2, ""},
        {"To", 0, "bob@example.org"},
    };
    for (const Case& c : cases) EXPECT_EQ(GetHeaderField(h, c.name, c.index), c.value) << c.name << " " << c.index;
    EXPECT_EQ(GetHeaderField("Subject: first line\r\n", "Subject"), "first line");  // text start
    EXPECT_EQ(GetHeaderField("X: 1\nSubject: bare\n", "subject"), "bare");          // LF-only lines
}

TEST(Headers, FieldsAndTheirFallbacks) {
    struct Case {
        const char* name;
        const char* text;
        const char* replyTo;
        const char* sentDate;  // as the store keeps it, "%m/%d/%y %H:%M:%S"
        bool hasAttachment;
    } cases[] = {
        {"reply-to from From", "From: ann@example.org\r\nDate: 15 Nov 2005 08:12:31\r\n\r\nbody", "ann@example.org",
         "11/15/05 08:12:31", false},
        {"reply-to chain ends at Return-Path", "Return-Path: <r@x>\r\nDate: 1 Jan 2004\r\n\r\n", "<r@x>",
         "01/01/04 00:00:00", false},
        {"received date wins over Date",
         "Received: from a by b; Tue, 15 Nov 2005 08:12:31 -0800\r\nDate: Mon, 14 Nov 2005 01:02:03\r\n"
         "Content-Type: multipart/mixed; boundary=x\r\n\r\n",
         "", "11/15/05 08:12:31", true},
        {"received date on a continuation line", "Received: from a by b;\r\n\t5 Mar 2004 17:02:09 +0000\r\n\r\n", "",
         "03/05/04 17:02:09", false},
        {"no date anywhere takes today", "Subject: x\r\n\r\nno date", "", "12/05/26 00:00:00", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CEmailMessage m(nullptr);
        ParseHeaders(m, c.text, nullptr, DateTime::FromParts(2026, 12, 5, 9, 30, 0));
        EXPECT_EQ(m.ReplyTo, c.replyTo);
        EXPECT_EQ(m.SentDate.Format("%m/%d/%y %H:%M:%S"), c.sentDate);
        EXPECT_EQ(m.HasAttachment, c.hasAttachment);
    }
}

TEST(Headers, FromIsSplitAndLookedUpInTheAddressBook) {
    struct Case {
        const char* from;
        const char* name;
        const char* address;
        int icon;
    } cases[] = {
        {"\"Ann Example\" <ann@example.org>", "Ann Example", "ann@example.org", 8},
        {"Bob <bob@example.org>", "Bob", "bob@example.org", 0},
        {"<carol@example.org>", "carol@example.org", "carol@example.org", 0},
        {"dave@example.org", "dave@example.org", "dave@example.org", 0},
        {"Eve <eve@example.org", "Eve", "eve@example.org", 0},
    };
    const AddressBookLookup book = [](std::string_view a) { return a == "ann@example.org"; };
    for (const Case& c : cases) {
        CEmailMessage m(nullptr);
        m.From = c.from;
        SplitFromAddress(m, book);
        EXPECT_EQ(m.FromName, c.name) << c.from;
        EXPECT_EQ(m.FromAddress, c.address) << c.from;
        EXPECT_EQ(m.FromIconState, c.icon) << c.from;
    }
}

TEST(Dates, NormalisedFormsOfWhatMessagesCarry) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"Tue, 15 Nov 2005 08:12:31 -0800", "11/15/05 08:12:31"},
        {"15 Nov 2005", "11/15/05"},
        {"Nov 15", "11/15"},
        {"05 Nov 2005", "11/05/05"},
        {"Mon, 5 Mar 2004 17:02:09 +0100 (CET)", "03/05/04 17:02:09"},
        {"11/15/2005 1:02 PM", "11/15/05 01:02:00"},  // the time is taken as written
        {"5 Mar 04 10:00:00", "03/05/04 10:00:00"},
        {"Mar 5 10:11:12", "03/05/10 11:12:00"},     // no year: the first number that fits takes it
        {"no date here", "no date here"},
        {"", ""},
        {"\xe9t\xe9 5 Mar 2004", "\xe9t\xe9 5 Mar 2004"},
        {"5 Mar 2004\r\n 10:00:00", "03/05/04"},  // the scan ends at the line break
    };
    for (const Case& c : cases) EXPECT_EQ(NormalizeDate(c.in), c.out) << c.in;
}

TEST(Dates, ListDatesWithoutAYearFallOnTheirWeekday) {
    const DateTime today = DateTime::FromParts(2026, 12, 5);  // a Saturday
    EXPECT_EQ(NormalizeListDate("Mon Dec 1", today), "12/01/25");  // 2025-12-01 was a Monday
    EXPECT_EQ(NormalizeListDate("Tue Dec 1", today), "12/01/26");
    EXPECT_EQ(NormalizeListDate("Dec 1", today), "12/01/26");
    EXPECT_EQ(NormalizeListDate("Dec 1, 2003 10:00", today), "12/01/03");
}

TEST(Decoders, Base64SkipsWhatIsNotInTheAlphabetAndStopsAtPadding) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"QUJD", "ABC"}, {"QUI=", "AB"}, {"QU\r\nJD", "ABC"}, {"AA==", std::string(1, '\0')},
        {"QQ", "A"},     {"Q", "@"},     {"Q*U!J D", "ABC"}, {"=QUJD", ""},
    };
    for (Case& c : cases) {
        const std::string in = c.in;
        DecodeBase64(c.in);
        EXPECT_EQ(c.in, c.out) << in;
    }
}

TEST(Decoders, QuotedPrintableKeepsWhatIsNotAnEscape) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"=41=00B=\r\nC", "ABC"}, {"=ZZ", "=ZZ"}, {"a=\nb", "ab"}, {"a=\rb", "ab"},
        {"end=", "end="},           {"=4", "=4"},   {"=e9=E9", "\xe9\xe9"},
    };
    for (Case& c : cases) {
        const std::string in = c.in;
        DecodeQuotedPrintable(c.in);
        EXPECT_EQ(c.in, c.out) << in;
    }
}

TEST(Body, PartsGoWhereTheirTypesSay) {
    const std::string alternative =
        "Content-Type: multipart/alternative; boundary=\"b1\"\r\n\r\npreamble\r\n--b1\r\n"
        "Content-Type: text/plain; charset=us-ascii\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
        "caf=E9\r\n--b1\r\nContent-Type: text/html\r\n\r\n<b>hi</b>\r\n--b1--\r\n";
    CEmailMessage m(nullptr);
    ParseBody(m, alternative);
    EXPECT_EQ(m.PlainText, "caf\xe9\r\n");
    EXPECT_EQ(m.HtmlText, "<b>hi</b>\r\n");
    EXPECT_FALSE(m.HasAttachment);

    const std::string mixed =
        "Content-Type: multipart/mixed; boundary=zz\r\n\r\n--zz\r\nContent-Type: multipart/alternative; "
        "boundary=\"in\"\r\n\r\n--in\r\nContent-Type: text/plain\r\n\r\ninner text\r\n--in--\r\n--zz\r\n"
        "Content-Type: application/octet-stream; name=\"a.bin\"\r\nContent-Transfer-Encoding: base64\r\n"
        "Content-Disposition: attachment; filename=\"report.pdf\"\r\n\r\nQUJD\r\nREVG\r\n--zz\r\n"
        "Content-Type: image/png\r\n\r\nraw\r\n--zz--\r\n";
    CEmailMessage n(nullptr);
    n.CollectAttachments = true;
    ParseBody(n, mixed);
    EXPECT_TRUE(n.HasAttachment);
    EXPECT_EQ(n.PlainText, "inner text\r\n");
    ASSERT_EQ(n.AttachmentData.size(), 2u);
    EXPECT_EQ(n.AttachmentNames[0], "report.pdf");  // filename= wins over name=
    EXPECT_EQ(n.AttachmentData[0], "ABCDEF");
    EXPECT_EQ(n.AttachmentNames[1], "image/png");  // no name: the type itself
    EXPECT_EQ(n.AttachmentData[1], "raw");
    EXPECT_EQ(n.AttachmentType, "image/png");
    EXPECT_EQ(n.AttachmentExtra.size(), 2u);
}

TEST(Body, OddStructuresAreReadAsTheRulesSay) {
    struct Case {
        const char* name;
        const char* text;
        const char* plain;
        const char* html;
    } cases[] = {
        {"no boundary, html", "Content-Type: text/html\r\n\r\n<p>x</p>", "", "<p>x</p>"},
        {"no boundary, plain base64", "Content-Transfer-Encoding: base64\r\n\r\nQUJD", "ABC", ""},
        {"part without its own type takes the next one",
         "Content-Type: multipart/mixed; boundary=q\r\n\r\n--q\r\n\r\nuntyped\r\n--q\r\nContent-Type: text/html\r\n\r\nh\r\n--q--",
         "", "h\r\n"},
        {"encoding before the type stays encoded",
         "Content-Type: multipart/mixed; boundary=q\r\n\r\n--q\r\nContent-Transfer-Encoding: base64\r\n"
         "Content-Type: text/plain\r\n\r\nQUJD\r\n--q--",
         "QUJD\r\n", ""},
        {"unterminated part leaves the text alone",
         "Content-Type: multipart/mixed; boundary=q\r\n\r\n--q\r\nContent-Type: text/plain\r\n\r\nno end", "", ""},
    };
    for (const Case& c : cases) {
        CEmailMessage m(nullptr);
        ParseBody(m, c.text);
        EXPECT_EQ(m.PlainText, c.plain) << c.name;
        EXPECT_EQ(m.HtmlText, c.html) << c.name;
    }
}

// Inputs that make a naive parser rescan the text for every part: these finish because every
// search only moves forward (a quadratic parser would not finish within the test time-out).
TEST(Body, HostileMessagesParseInOnePass) {
    std::string noTypes = "Content-Type: multipart/mixed; boundary=b\r\n\r\n";
    for (int i = 0; i < 200000; ++i) noTypes += "--b\r\nx\r\n";
    noTypes += "Content-Type: text/plain\r\n\r\nlast";
    std::string openParts = "Content-Type: multipart/mixed; boundary=b\r\n\r\n";
    for (int i = 0; i < 200000; ++i) openParts += "--b\r\nContent-Type: application/x; name=n\r\n";
    std::string nested;
    for (int i = 0; i < 5000; ++i) nested += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\r\n\r\n--b" +
                                            std::to_string(i) + "\r\n";
    for (const std::string* text : {&noTypes, &openParts, &nested}) {
        CEmailMessage m(nullptr);
        m.CollectAttachments = true;
        ParseHeaders(m, *text);
        ParseBody(m, *text);
        EXPECT_LE(m.AttachmentData.size(), 200000u);
    }
}

TEST(Helpers, AddressListsQuotingAndCaseFreeSearch) {
    std::vector<std::string> list;
    ParseAddressList("\"Doe, John\" <John@Example.org>, ann@example.org,bob, <x@y.z>", list);
    EXPECT_EQ(list, (std::vector<std::string>{"john@example.org", "ann@example.org", "x@y.z"}));
    struct Quote {
        std::string in, out;
    } quotes[] = {{"", ""}, {"a", ">a"}, {"a\r\nb", ">a\r\n>b"}, {"a\n\nb\r", ">a\n>\n>b\r>"}};
    for (Quote& q : quotes) {
        QuoteText(q.in);
        EXPECT_EQ(q.in, q.out);
    }
    EXPECT_EQ(FindNoCase("xxContent-TYPE: y", "content-type: "), 2u);
    EXPECT_EQ(FindNoCase("", "a"), npos);
    EXPECT_EQ(FindNoCase("abc", "C", 3), npos);
}

TEST(Attachments, AreWrittenOnlyInsideTheChosenFolder) {
    const fs::path dir = test::TestDir("attach");
    fs::create_directories(dir / "inside");
    const fs::path outside = dir / "outside.txt";
    std::ofstream(outside) << "keep";
    fs::create_symlink(outside, dir / "inside" / "link.txt");
    CEmailMessage m(nullptr);
    const std::vector<std::string> names = {"../outside.txt", "/etc/passwd", "a\x01" "b\x7f.txt", "", "..",
                                            "dir\\win.txt", "link.txt"};
    for (const std::string& name : names) {
        m.AttachmentNames.push_back(name);
        m.AttachmentData.push_back("data:" + name);
        m.AttachmentExtra.emplace_back();
    }
    std::string error;
    EXPECT_EQ(SaveAttachments(m, (dir / "inside").string(), &error), 6);
    EXPECT_NE(error.find("link.txt"), std::string::npos);  // a planted link is not followed
    EXPECT_EQ(test::ReadFile(outside), "keep");
    for (const char* expected : {"outside.txt", "passwd", "ab.txt", "file3.dat", "file4.dat", "win.txt"})
        EXPECT_TRUE(fs::is_regular_file(dir / "inside" / expected)) << expected;
    EXPECT_FALSE(fs::exists("/etc/passwd.attach"));
    fs::remove_all(dir);
}

// Fixture messages with the fields the parser must find beside each (tests/fixtures/mime).
TEST(Golden, FixtureMessagesParseToTheirExpectedFields) {
    int checked = 0;
    for (const auto& entry : fs::directory_iterator(PH_MIME_FIXTURES)) {
        if (entry.path().extension() != ".eml") continue;
        SCOPED_TRACE(entry.path().filename().string());
        const std::string text = test::ReadFile(entry.path());
        std::ifstream want(fs::path(entry.path()).replace_extension(".expected"));
        ASSERT_TRUE(want) << "missing .expected";
        CEmailMessage m(nullptr);
        m.CollectAttachments = true;
        ParseHeaders(m, text, nullptr, DateTime::FromParts(2026, 12, 5));
        ParseBody(m, text);
        std::map<std::string, std::string> got = {
            {"Subject", m.Subject},       {"From", m.From},         {"FromName", m.FromName},
            {"FromAddress", m.FromAddress}, {"To", m.To},           {"Cc", m.Cc},
            {"ReplyTo", m.ReplyTo},       {"SentDate", m.SentDate.Format("%m/%d/%y %H:%M:%S")},
            {"HasAttachment", m.HasAttachment ? "1" : "0"},       {"AttachmentType", m.AttachmentType},
            {"PlainTextSize", std::to_string(m.PlainText.size())}, {"HtmlTextSize", std::to_string(m.HtmlText.size())},
            {"Attachments", std::to_string(m.AttachmentData.size())}};
        for (size_t i = 0; i < m.AttachmentNames.size(); ++i)
            got["Attachment" + std::to_string(i)] = m.AttachmentNames[i] + " " + std::to_string(m.AttachmentData[i].size());
        for (std::string line; std::getline(want, line);) {
            if (line.empty() || line[0] == '#') continue;
            const size_t colon = line.find(": ");
            const std::string key = line.substr(0, colon);
            const std::string value = colon == std::string::npos ? "" : line.substr(colon + 2);
            EXPECT_EQ(got[key], value) << key;
        }
        ++checked;
    }
    EXPECT_GE(checked, 3);
}

}  // namespace
}  // namespace ph::mime
