#include "Display.h"

#include "common/Bytes.h"
#include "common/Format.h"

namespace ph::cli {

std::string EscapeForLine(std::string_view bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        switch (c) {
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\\': out += "\\\\"; break;
            default:
                if (c < 0x20 || c == 0x7F)
                    out += Format("\\x%02x", c);
                else
                    out += static_cast<char>(c);
        }
    }
    return Latin1ToUtf8(out);
}

}  // namespace ph::cli
