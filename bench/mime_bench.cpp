// Parser benchmark: a generated corpus of realistic messages (about 4 KB on average, a tenth
// multipart/alternative, one in twenty with a 50 KB base64 attachment) parsed from memory:
// header fields, body texts and attachment collection. GMime 3 does the equivalent extraction
// on the same corpus in the same run.
//
//   mime_bench [--messages N] [--runs K]
#include <gmime/gmime.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "common/Crypto.h"
#include "common/Format.h"
#include "message/MimeParser.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

std::string Words(std::mt19937& rng, size_t length) {
    static const char* kWords[] = {"the", "harbour", "message", "report", "figures", "meeting", "please",
                                   "attached", "regards", "tomorrow", "project", "and", "of", "we", "review"};
    std::string s;
    size_t column = 0;
    while (s.size() < length) {
        const char* w = kWords[rng() % 15];
        s += w;
        column += std::strlen(w) + 1;
        if (column > 70) {
            s += "\r\n";
            column = 0;
        } else {
            s += ' ';
        }
    }
    return s;
}

std::string Headers(std::mt19937& rng, int i) {
    std::string h;
    h += ph::Format("Received: from mx%d.example.net by inbound.example.org with ESMTP id %08x;\r\n\tTue, %d Nov 2005 "
                    "08:12:%02d -0800\r\n",
                    i % 7, static_cast<unsigned>(rng()), 1 + i % 28, i % 60);
    h += ph::Format("Message-ID: <%08x.%d@example.net>\r\n", static_cast<unsigned>(rng()), i);
    h += ph::Format("From: \"Sender %d\" <sender%d@example.net>\r\n", i % 997, i % 997);
    h += "To: \"Me\" <me@example.org>, team@example.org\r\n";
    if (i % 3 == 0) h += "Cc: boss@example.org\r\n";
    h += "Subject: " + Words(rng, 40 + rng() % 30).substr(0, 60) + "\r\n";
    h += ph::Format("Date: Tue, %d Nov 2005 08:12:%02d -0800\r\n", 1 + i % 28, i % 60);
    h += "MIME-Version: 1.0\r\n";
    return h;
}

std::vector<std::string> Corpus(int count) {
    std::mt19937 rng(2005);
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) {
        std::string m = Headers(rng, i);
        if (i % 20 == 0) {
            std::string data(50 * 1024, '\0');
            for (char& c : data) c = static_cast<char>(rng());
            std::string b64 = ph::Base64Encode(data), lines;
            for (size_t p = 0; p < b64.size(); p += 76) lines += b64.substr(p, 76) + "\r\n";
            m += "Content-Type: multipart/mixed; boundary=\"mix" + std::to_string(i) + "\"\r\n\r\n";
            m += "--mix" + std::to_string(i) + "\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n" +
                 Words(rng, 600) + "\r\n";
            m += "--mix" + std::to_string(i) +
                 "\r\nContent-Type: application/octet-stream; name=\"data.bin\"\r\nContent-Transfer-Encoding: "
                 "base64\r\nContent-Disposition: attachment; filename=\"data.bin\"\r\n\r\n" +
                 lines;
            m += "--mix" + std::to_string(i) + "--\r\n";
        } else if (i % 10 == 1) {
            const std::string text = Words(rng, 600 + rng() % 800);
            m += "Content-Type: multipart/alternative; boundary=\"alt" + std::to_string(i) + "\"\r\n\r\n";
            m += "--alt" + std::to_string(i) +
                 "\r\nContent-Type: text/plain; charset=iso-8859-1\r\nContent-Transfer-Encoding: "
                 "quoted-printable\r\n\r\n" +
                 text + "\r\n";
            m += "--alt" + std::to_string(i) + "\r\nContent-Type: text/html; charset=iso-8859-1\r\n\r\n<html><body><p>" +
                 text + "</p></body></html>\r\n";
            m += "--alt" + std::to_string(i) + "--\r\n";
        } else {
            m += "Content-Type: text/plain; charset=us-ascii\r\n\r\n" + Words(rng, 200 + rng() % 900) + "\r\n";
        }
        out.push_back(std::move(m));
    }
    return out;
}

size_t ParseOurs(const std::vector<std::string>& corpus) {
    size_t touched = 0;
    for (const std::string& text : corpus) {
        ph::CEmailMessage m(nullptr);
        m.CollectAttachments = true;
        ph::mime::ParseHeaders(m, text);
        ph::mime::ParseBody(m, text);
        touched += m.Subject.size() + m.PlainText.size() + m.HtmlText.size() + m.From.size() + m.To.size();
        for (const std::string& a : m.AttachmentData) touched += a.size();
    }
    return touched;
}

// GMime's side: the same fields, the decoded texts and the decoded attachment data.
struct GMimeWalk {
    size_t touched = 0;
};

void VisitPart(GMimeObject*, GMimeObject* part, gpointer data) {
    auto* walk = static_cast<GMimeWalk*>(data);
    if (!GMIME_IS_PART(part)) return;
    GMimeDataWrapper* content = g_mime_part_get_content(GMIME_PART(part));
    if (!content) return;
    GMimeStream* out = g_mime_stream_mem_new();
    g_mime_data_wrapper_write_to_stream(content, out);
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(out));
    walk->touched += bytes->len;
    if (const char* name = g_mime_part_get_filename(GMIME_PART(part))) walk->touched += std::strlen(name);
    g_object_unref(out);
}

size_t ParseGMime(const std::vector<std::string>& corpus) {
    GMimeWalk walk;
    for (const std::string& text : corpus) {
        GMimeStream* stream = g_mime_stream_mem_new_with_buffer(text.data(), text.size());
        GMimeParser* parser = g_mime_parser_new_with_stream(stream);
        GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
        if (message) {
            for (const char* field : {"Subject", "From", "To", "Cc", "Reply-To", "Date", "Received"}) {
                if (const char* v = g_mime_object_get_header(GMIME_OBJECT(message), field)) walk.touched += std::strlen(v);
            }
            g_mime_message_foreach(message, VisitPart, &walk);
            g_object_unref(message);
        }
        g_object_unref(parser);
        g_object_unref(stream);
    }
    return walk.touched;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    int count = 10000, runs = 7;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--messages") count = std::atoi(argv[i + 1]);
        if (a == "--runs") runs = std::atoi(argv[i + 1]);
    }
    g_mime_init();
    const std::vector<std::string> corpus = Corpus(count);
    size_t bytes = 0;
    for (const std::string& m : corpus) bytes += m.size();
    const double mb = bytes / 1048576.0;
    std::printf("corpus: %d messages, %.1f MB (%.1f KB average)\n", count, mb, bytes / 1024.0 / count);
    std::vector<double> ours, gmime;
    size_t sink = 0;
    for (int r = 0; r < runs; ++r) {
        auto t = Clock::now();
        sink += ParseOurs(corpus);
        ours.push_back(Seconds(t));
        t = Clock::now();
        sink += ParseGMime(corpus);
        gmime.push_back(Seconds(t));
    }
    auto report = [&](const char* who, const std::vector<double>& v) {
        std::printf("%-6s median %.3f s = %.0f MB/s (min %.3f, max %.3f, n=%d)\n", who, Median(v), mb / Median(v),
                    *std::min_element(v.begin(), v.end()), *std::max_element(v.begin(), v.end()), runs);
    };
    report("ours", ours);
    report("gmime", gmime);
    std::printf("ratio (gmime time / our time): %.2f   [%zu]\n", Median(gmime) / Median(ours), sink % 10);
    return 0;
}
