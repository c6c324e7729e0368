// Arbitrary date texts through both normalisers, with a fixed "today" so a run repeats.
// A result is the input unchanged or exactly one of the short forms.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/DateTime.h"
#include "message/Dates.h"

namespace {

void Check(bool promise) {
    if (!promise) __builtin_trap();
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Two-digit fields separated by `separators`, in that order ("//" is "%m/%d/%y").
bool HasShape(const std::string& text, std::string_view separators) {
    if (text.size() != 2 + separators.size() * 3) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (i % 3 == 2) {
            if (text[i] != separators[i / 3]) return false;
        } else if (!IsDigit(text[i])) {
            return false;
        }
    }
    const int month = (text[0] - '0') * 10 + (text[1] - '0');
    const int day = (text[3] - '0') * 10 + (text[4] - '0');
    return month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string normal = ph::mime::NormalizeDate(text);
    Check(normal == text || HasShape(normal, "/") || HasShape(normal, "//") || HasShape(normal, "// ::"));

    static const ph::DateTime today = ph::DateTime::FromParts(2006, 3, 15, 12, 0, 0);
    const std::string listed = ph::mime::NormalizeListDate(text, today);
    Check(listed == text || HasShape(listed, "//"));
    return 0;
}
