// The process-wide last-error text.
#pragma once

namespace pcbinspect {

// Replaces the last-error text with one line, "function: message", cut to 255
// characters. Safe to call from several threads.
void setLastError(const char* function, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

}  // namespace pcbinspect
