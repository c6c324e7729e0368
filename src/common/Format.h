#pragma once
#include <cstdarg>
#include <string>

namespace ph {

// printf-style formatting into a std::string. The system's own texts are printf formats
// ("%06d", "Blob_%s_%d", ...), so this is the one formatting helper the core uses.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* fmt, va_list args);

}  // namespace ph
