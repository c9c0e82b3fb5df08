// Runs the body of a tool_api function so that no exception crosses the C
// interface: InputError gives 1 and its message, anything else 2.
#pragma once

#include <exception>
#include <new>
#include <string>

#include "tool_error.h"

namespace pcbinspect::tool {

extern thread_local std::string lastToolError;

template <class Body>
int guardedToolCall(const char* function, Body&& body) noexcept {
    try {
        body();
        return 0;
    } catch (const InputError& e) {
        lastToolError = std::string(function) + ": " + e.what();
        return 1;
    } catch (const std::bad_alloc&) {
        lastToolError = std::string(function) + ": out of memory";
        return 2;
    } catch (const std::exception& e) {
        lastToolError = std::string(function) + ": " + e.what();
        return 2;
    } catch (...) {
        lastToolError = std::string(function) + ": failed";
        return 2;
    }
}

}  // namespace pcbinspect::tool
