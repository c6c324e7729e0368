#pragma once
// The diagnostic trace sink. Lines are discarded unless the environment variable
// POSTHARBOUR_TRACE names a file, which is then appended to. Callers never pass a password.
namespace ph {

void Trace(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
bool TraceEnabled();

}  // namespace ph
