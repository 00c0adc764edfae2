#pragma once
// What the fuzz targets share: a check that ends the run with a crash libFuzzer
// records, and whole-file reads and writes for the targets that work on files.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzz_support {

inline void Check(bool condition) {
  if (!condition) std::abort();
}

inline std::string ReadFile(const std::string& path) {
  std::string out;
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
  }
  return out;
}

inline void WriteFile(const std::string& path, std::string_view bytes) {
  if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
}

}  // namespace fuzz_support
