#include "common/Trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "common/DateTime.h"
#include "common/Format.h"

namespace ph {
namespace {

// The one piece of global mutable state the core keeps: the trace file, opened on first use.
struct TraceSink {
    std::mutex lock;
    FILE* file = nullptr;

    TraceSink() {
        if (const char* path = std::getenv("POSTHARBOUR_TRACE"); path && *path)
            file = std::fopen(path, "a");
    }
    ~TraceSink() {
        if (file) std::fclose(file);
    }
};

TraceSink& Sink() {
    static TraceSink sink;
    return sink;
}

}  // namespace

bool TraceEnabled() { return Sink().file != nullptr; }

void Trace(const char* fmt, ...) {
    TraceSink& sink = Sink();
    if (!sink.file) return;
    va_list args;
    va_start(args, fmt);
    const std::string line = FormatV(fmt, args);
    va_end(args);
    const std::string stamp = DateTime::Now().Format("%Y-%m-%d %H:%M:%S");
    std::lock_guard<std::mutex> guard(sink.lock);
    std::fprintf(sink.file, "%s %s\n", stamp.c_str(), line.c_str());
    std::fflush(sink.file);
}

}  // namespace ph
