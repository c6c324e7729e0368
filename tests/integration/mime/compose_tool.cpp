// Composes one message from its command line, for the round-trip test: the arguments are taken
// in order, so a test decides the order of parts.
//   --mode 0|1  --from A  --to A  --cc A  --bcc A  --subject S
//   --text FILE  --html FILE  --attach FILE  --attach-memory FILE  --out FILE
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>

#include "message/MimeComposer.h"

namespace {

bool ReadWhole(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace ph::mime;
    CMimeMessage message;
    std::string out;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const std::string value = argv[i + 1];
        std::string content;
        if (option == "--mode") {
            message.SetMimeMode(value == "1");
        } else if (option == "--from") {
            message.SetFrom({"", value});
        } else if (option == "--to" || option == "--cc" || option == "--bcc") {
            message.AddRecipient({"", value}, option == "--to" ? kTo : option == "--cc" ? kCc : kBcc);
        } else if (option == "--subject") {
            message.Subject = value;
        } else if (option == "--text" || option == "--html" || option == "--attach-memory") {
            if (!ReadWhole(value, content)) {
                std::cerr << "compose_tool: cannot read " << value << "\n";
                return 1;
            }
            if (option == "--text") {
                message.SetBodyText(content);
            } else if (option == "--html") {
                message.SetHtmlText(content);
            } else {
                auto part = std::make_unique<CMimePart>();
                part->AttachData(std::filesystem::path(value).filename().string(), std::move(content));
                message.AddAttachment(std::move(part));
            }
        } else if (option == "--attach") {
            auto part = std::make_unique<CMimePart>();
            if (!part->AttachFile(value)) {
                std::cerr << "compose_tool: cannot attach " << value << "\n";
                return 1;
            }
            message.AddAttachment(std::move(part));
        } else if (option == "--out") {
            out = value;
        } else {
            std::cerr << "compose_tool: unknown option " << option << "\n";
            return 2;
        }
    }
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(out.c_str(), "wb"), std::fclose);
    if (!file) {
        std::cerr << "compose_tool: cannot create " << out << "\n";
        return 1;
    }
    const bool written = message.WriteMessage([&file](std::string_view piece) {
        return std::fwrite(piece.data(), 1, piece.size(), file.get()) == piece.size();
    });
    return written && std::fflush(file.get()) == 0 ? 0 : 1;
}
