#pragma once
// printf into a std::string, whatever its length.
#include <string>

namespace platform {

std::string StringPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace platform
