#pragma once
// printf into a std::string, whatever its length.
#include <cstdarg>
#include <string>

namespace platform {

std::string StringPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The same with the arguments of a variadic caller.
std::string StringPrintfV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

}  // namespace platform
