// Feeds arbitrary bytes, cut into receives of at most 1023 bytes, through
// the command reading of an interface monitor connection: each receive is
// put into the zeroed command buffer, taken as one command and turned into
// its log line, as the client's receive thread does. The first byte chooses
// the receive sizes, the second seeds them. Checks that the command found
// is the one the text names (up to its first NUL, without regard to case),
// and that the log line is bounded, holds no control byte (a client never
// starts a log line of its own) and gives back the received text when its
// escapes are undone.
#include <strings.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "monitor/monitor_server.h"

using fuzz_support::Check;

namespace {

monitor::MonitorCommand Expected(std::string_view text) {
  auto is = [&](std::string_view command) {
    if (text.size() != command.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i)
      if (std::tolower(static_cast<unsigned char>(text[i])) !=
          std::tolower(static_cast<unsigned char>(command[i])))
        return false;
    return true;
  };
  if (is("<command type=init />")) return monitor::MonitorCommand::kInit;
  if (is("<command type=log state=ON />")) return monitor::MonitorCommand::kLogOn;
  if (is("<command type=log state=OFF />")) return monitor::MonitorCommand::kLogOff;
  if (is("<getTestSendInfo/>")) return monitor::MonitorCommand::kTestInfo;
  return monitor::MonitorCommand::kOther;
}

// The text behind the line's fixed words, its escapes undone.
std::string Unescape(std::string_view escaped) {
  std::string out;
  for (std::size_t i = 0; i < escaped.size(); ++i) {
    if (escaped[i] != '\\' || i + 1 == escaped.size()) {
      out += escaped[i];
      continue;
    }
    char c = escaped[++i];
    if (c == 'r')
      out += '\r';
    else if (c == 'n')
      out += '\n';
    else if (c == 't')
      out += '\t';
    else if (c == '\\')
      out += '\\';
    else if (c == 'x' && i + 2 < escaped.size()) {
      out += static_cast<char>(
          std::strtol(std::string(escaped.substr(i + 1, 2)).c_str(), nullptr, 16));
      i += 2;
    } else {
      out += '?';  // not an escape the server writes
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  static const std::size_t kLargest[] = {1, 40, 500, monitor::kCommandBufferSize - 1};
  const std::size_t largest = kLargest[data[0] % 4];
  std::uint32_t cuts = data[1] | 1u;
  std::string_view bytes(reinterpret_cast<const char*>(data) + 2, size - 2);
  // As the receive thread holds it: off the stack.
  static auto buffer = std::make_unique<char[]>(monitor::kCommandBufferSize);

  std::size_t at = 0;
  while (at < bytes.size()) {
    cuts = cuts * 1103515245u + 12345u;
    std::size_t n = std::min(bytes.size() - at, 1 + static_cast<std::size_t>(cuts >> 8) % largest);
    std::memset(buffer.get(), 0, monitor::kCommandBufferSize);
    std::memcpy(buffer.get(), bytes.data() + at, n);
    at += n;

    std::string_view text(buffer.get());  // up to the first NUL
    monitor::MonitorCommand command = monitor::ParseMonitorCommand(buffer.get());
    Check(command == Expected(text));
    std::string line = monitor::ReceivedCommandLogLine(command, buffer.get());
    Check(line.size() <= monitor::kStatusMessageMax);
    for (char c : line) Check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
    std::string_view prefix = command == monitor::MonitorCommand::kTestInfo
                                  ? "TestSendInfos requested from interface monitor: "
                                  : "String received from interface monitor: ";
    Check(std::string_view(line).starts_with(prefix));
    std::string_view escaped = std::string_view(line).substr(prefix.size());
    if (line.size() < monitor::kStatusMessageMax)
      Check(Unescape(escaped) == text);
    else
      Check(std::string_view(text).starts_with(Unescape(escaped.substr(0, escaped.rfind('\\')))));
  }
  return 0;
}
