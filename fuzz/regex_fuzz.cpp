// Compiles the input up to its first NUL as an expression, matches it against
// the text up to the next NUL and substitutes the rest as a template (each
// part falls back to a fixed text when the input is too short). Checks that
// the positions of a match lie inside the subject and that the work bound
// holds; crashes and leaks are the fuzzer's business.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "camera_http/regex.h"
#include "fuzz/fuzz_support.h"

using fuzz_support::Check;

namespace {

// Cuts the next NUL-terminated piece off [at, end); `fallback` when nothing is left.
std::string NextPiece(const char*& at, const char* end, const char* fallback) {
  if (at >= end) return fallback;
  const char* stop =
      static_cast<const char*>(std::memchr(at, '\0', static_cast<std::size_t>(end - at)));
  if (stop == nullptr) stop = end;
  std::string piece(at, stop);
  at = stop < end ? stop + 1 : end;
  return piece;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* at = reinterpret_cast<const char*>(data);
  const char* end = at + size;
  const std::string expression = NextPiece(at, end, "");
  const std::string subject = NextPiece(at, end, "io box=2 pin=4 state=on type=DI data=0x1F");
  const std::string source = NextPiece(at, end, "&|\\1|\\2|\\9|\\\\|\\&|\\x");

  const char* error = nullptr;
  camera_http::RegexpPtr prog(camera_http::regcompile(expression.c_str(), &error));
  if (!prog) {
    Check(error != nullptr && *error != '\0');
    return 0;
  }
  const char* text = subject.c_str();
  const char* text_end = text + subject.size();
  for (int round = 0; round < 2; ++round) {  // a regexp is reused for many lines
    int matched = camera_http::regexecute(prog.get(), text);
    Check(matched == 0 || matched == 1);
    if (!matched) {
      for (int i = 0; i < camera_http::kRegexpParts; ++i) Check(prog->startp[i] == nullptr);
      continue;
    }
    for (int i = 0; i < camera_http::kRegexpParts; ++i) {
      if (prog->startp[i] == nullptr) {
        Check(i > 0 && prog->endp[i] == nullptr);
        continue;
      }
      Check(text <= prog->startp[i] && prog->startp[i] <= prog->endp[i] &&
            prog->endp[i] <= text_end);
    }
    char small[8];
    char large[512];
    Check(camera_http::regsub(prog.get(), source.c_str(), small, sizeof small) == 0 &&
          std::strlen(small) < sizeof small);
    Check(camera_http::regsub(prog.get(), source.c_str(), large, sizeof large) == 0 &&
          std::strlen(large) < sizeof large);
  }
  return 0;
}
