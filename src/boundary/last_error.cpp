#include "boundary/last_error.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>

#include "boundary/export_guard.h"
#include "pcbinspect/exports.h"

namespace pcbinspect {
namespace {

// Zero at load: reads as the empty string until a call rejects its input.
char lastErrorText[256];
std::mutex lastErrorLock;

}  // namespace

void setLastError(const char* function, const char* format, ...) {
    char line[sizeof lastErrorText];
    int used = std::snprintf(line, sizeof line, "%s: ", function);
    if (used < 0) used = 0;
    if (static_cast<std::size_t>(used) < sizeof line) {
        va_list args;
        va_start(args, format);
        std::vsnprintf(line + used, sizeof line - used, format, args);
        va_end(args);
    }
    // Keep the text to one line whatever the message held.
    for (char* c = line; *c; ++c) {
        if (*c == '\n' || *c == '\r') *c = ' ';
    }
    std::lock_guard<std::mutex> hold(lastErrorLock);
    std::memcpy(lastErrorText, line, std::strlen(line) + 1);
}

void reportEscapedException(const char* function) noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        setLastError(function, "out of memory");
    } catch (const std::exception& e) {
        setLastError(function, "internal error: %s", e.what());
    } catch (...) {
        setLastError(function, "internal error");
    }
}

}  // namespace pcbinspect

extern "C" PCBINSPECT_API const char* getLastError(void) {
    return pcbinspect::lastErrorText;
}
