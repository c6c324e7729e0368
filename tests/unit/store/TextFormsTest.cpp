#include <gtest/gtest.h>

#include "store/CTagNode.h"
#include "store/FieldExchange.h"

namespace ph {
namespace {

TEST(ElementEscaping, ThreeSpecialCharactersBecomeLowerCaseHex) {
    EXPECT_EQ(EscapeElementValue("a<b>c%d"), "a%3cb%3ec%25d");
    std::string all;
    for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
    EXPECT_EQ(UnescapeElementValue(EscapeElementValue(all)), all);
}

TEST(ElementEscaping, UnescapeReadsWhatOtherWritersProduce) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"100%%", "100%"},     {"%3C%3e", "<>"},   {"%4a%4A", "JJ"},     {"line%\r\nnext", "linenext"},
        {"line%\nnext", "linenext"}, {"a%\rb", "ab"}, {"%zz", "%zz"},   {"end%", "end%"},
        {"%4", "%4"},          {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(UnescapeElementValue(c.in), c.out) << c.in;
}

TEST(DollarTagForm, ValuesAreVerbatimAndEndAtTheFirstCloseTag) {
    CDollarTagWriter writer;
    std::string a = "x</$>y", b = "<b>%", c = "plain";
    writer.Text("A", a);
    writer.Text("B", b);
    writer.Text("C", c);
    EXPECT_EQ(writer.Result(), "<$A$>x</$>y</$>\r\n<$B$><b>%</$>\r\n<$C$>plain</$>\r\n");
    CDollarTagReader reader(writer.Result());
    std::string ra, rb, rc, missing = "old";
    reader.Text("A", ra);
    reader.Text("B", rb);
    reader.Text("C", rc);
    reader.Text("D", missing);
    EXPECT_EQ(ra, "x");  // cut at the first "</$>"
    EXPECT_EQ(rb, "<b>%");
    EXPECT_EQ(rc, "plain");
    EXPECT_EQ(missing, "");
}

TEST(DollarTagForm, ATagQuotedInsideAnEarlierValueIsNotTakenForTheField) {
    CDollarTagWriter writer;
    std::string plain = "see <$Body$>quoted</$> here", body = "the real body";
    writer.Text("PlainText", plain);
    writer.Text("Body", body);
    CDollarTagReader reader(writer.Result());
    std::string p, b;
    reader.Text("PlainText", p);
    reader.Text("Body", b);
    EXPECT_EQ(b, "the real body");
}

TEST(DollarTagForm, OpeningTagWithoutCloseReadsEmpty) {
    CDollarTagReader reader("<$A$>never closed");
    std::string a = "x";
    int32_t n = 9;
    bool flag = true;
    DateTime when = DateTime::FromParts(2001, 2, 3);
    reader.Text("A", a);
    reader.Int("N", n);
    reader.Bool("F", flag);
    reader.Date("W", when);
    EXPECT_EQ(a, "");
    EXPECT_EQ(n, 0);
    EXPECT_FALSE(flag);
    EXPECT_EQ(when, DateTime::FromParts(2001, 2, 3));  // an empty date leaves the value
}

TEST(TagTree, ParsesWhatItSerialises) {
    CTagNode root;
    root.Parse("<a>1</a>\r\n<b><c>2</c>\r\n</b>\r\n<d/><e x=\"y\">3</e>");
    ASSERT_EQ(root.Children().size(), 4u);
    EXPECT_EQ(root.Find("c")->Text(), "2");
    EXPECT_EQ(root.Find("c")->Parent()->Tag(), "b");
    EXPECT_EQ(root.Find("d")->Children().size(), 0u);
    EXPECT_EQ(root.Find("e")->Attributes(), "x=\"y\"");
    EXPECT_EQ(root.Find("a")->NextSibling()->Tag(), "b");
    // A record's elements sit at the top, so a rewrite with the root's own text (the line
    // ends between elements) dropped reads back the same and does not grow.
    CTagNode record;
    record.Parse("<Name>n</Name>\r\n<Email>e%3c</Email>\r\n");
    record.SetText({});
    const std::string once = record.Serialize();
    CTagNode again;
    again.Parse(once);
    again.SetText({});
    EXPECT_EQ(again.Serialize(), once);
    EXPECT_EQ(once, "<Name>n</Name>\r\n<Email>e%3c</Email>\r\n");
}

TEST(TagTree, CloseTagMatchesAnAncestorOrStopsTheParse) {
    struct Case {
        const char* text;
        const char* tag;
        const char* expectText;  // nullptr: the tag must not be found
    } cases[] = {
        {"<a><b>x</a><c>y</c>", "c", "y"},  // </a> also closes the open <b>
        {"<a>x</z><c>y</c>", "c", nullptr}, // unmatched close ends the parse
        {"<a>x</a>", "a", "x"},
        {"text only", "a", nullptr},
    };
    for (const Case& c : cases) {
        CTagNode root;
        root.Parse(c.text);
        const CTagNode* node = root.Find(c.tag);
        if (c.expectText) {
            ASSERT_TRUE(node) << c.text;
            EXPECT_EQ(node->Text(), c.expectText) << c.text;
        } else {
            EXPECT_FALSE(node) << c.text;
        }
    }
}

TEST(TagTree, DeepNestingIsCutWithoutExhaustingTheStack) {
    std::string deep;
    for (int i = 0; i < 100000; ++i) deep += "<a>";
    CTagNode root;
    root.Parse(deep);
    int depth = 0;
    for (const CTagNode* n = &root; !n->Children().empty(); n = n->Children().front().get()) ++depth;
    EXPECT_LE(depth, CTagNode::kMaxDepth + 1);
}

TEST(TagTree, SettingAFieldAddsOrReplacesTheFirstNodeOfThatTag) {
    CTagNode root;
    root.Parse("<x><Name>old</Name></x>");
    root.SetChildText("Name", "new");
    root.SetChildText("Email", "e");
    EXPECT_EQ(root.Find("Name")->Text(), "new");
    EXPECT_EQ(root.Find("Name")->Parent()->Tag(), "x");  // depth-first: the nested one
    EXPECT_EQ(root.Find("Email")->Parent(), &root);
}

// Dates are read back along a short path for the form the store writes; whatever the text,
// the value must be the one the general date parser gives.
TEST(StoredDates, ReadAsTheGeneralParserReadsThem) {
    const char* texts[] = {
        "March 05, 2004 17:02:09",  "December 31, 9999 23:59:59", "January 01, 0100 00:00:00",
        "February 29, 2004 12:00:00", "February 29, 2005 12:00:00", "April 31, 2004 10:00:00",
        "March 00, 2004 17:02:09",  "March 32, 2004 17:02:09",    "March 45, 2004 17:02:09",
        "March 05, 0099 17:02:09",  "March 05, 2004 24:00:00",    "March 05, 2004 17:60:09",
        "March 05, 2004 17:02:60",  "march 05, 2004 17:02:09",    "Mar 05, 2004 17:02:09",
        "Marchy 05, 2004 17:02:09", "March 5, 2004 17:02:09",     "March 05 2004 17:02:09",
        "March 05, 2004 17:02",     "March 05, 2004 17:02:09 PM", "March 05, 2004",
        "March 0x, 2004 17:02:09",  "March 05, 20x4 17:02:09",    "Friday, March 05, 2004",
        "03/05/04 17:02:09",        "2004-03-05",                 "17:02",
        "",                         "garbage",                    " March 05, 2004 17:02:09",
    };
    for (const char* text : texts) {
        for (const DateTime before : {DateTime(), DateTime::Invalid(), DateTime::FromParts(1999, 9, 9)}) {
            DateTime decoded = before, parsed = before;
            DecodeDate(text, decoded);
            if (*text) parsed.Parse(text);
            EXPECT_EQ(decoded, parsed) << "'" << text << "': " << decoded.ToStoreText() << " vs "
                                       << parsed.ToStoreText();
        }
    }
}

}  // namespace
}  // namespace ph
