#pragma once
// Date texts of message headers and web-mail lists turned into the program's short forms.
#include <string>
#include <string_view>

#include "common/DateTime.h"

namespace ph::mime {

// "%m/%d/%y %H:%M:%S", "%m/%d/%y" (all of the time zero) or "%m/%d" (no year and no time),
// or the input unchanged when it has no month or no day (or starts with a byte of 128 or
// more). The time is taken as written: zones are not converted.
std::string NormalizeDate(std::string_view text);
// Always "%m/%d/%y". A date without a year is placed in the latest year, counting back from
// `today`, in which it falls on the weekday the text names.
std::string NormalizeListDate(std::string_view text, const DateTime& today = DateTime::Now());

}  // namespace ph::mime
