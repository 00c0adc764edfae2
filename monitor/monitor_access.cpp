#include "monitor/monitor_access.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>

#include "core/profile/user_profile.h"
#include "monitor/monitor_server.h"

namespace monitor {

namespace {

constexpr const char* kKeyBindAddress = "MonitorBindAddress";
constexpr const char* kKeyAllowedClients = "MonitorAllowedClients";
constexpr const char* kKeyMaxPerAddress = "MonitorMaxClientsPerAddress";

constexpr const char* kBadBindAddress =
    "ERROR: MonitorBindAddress '%s' is not an IPv4 address (a.b.c.d): the monitor port listens "
    "on 127.0.0.1 only";
constexpr const char* kBadAllowedEntry =
    "ERROR: %s: '%s' is neither an IPv4 address nor a range a.b.c.d/n, ignored";
constexpr const char* kNoAllowedEntry =
    "ERROR: MonitorAllowedClients names no usable address: no monitoring client is admitted";
constexpr const char* kBadMaxPerAddress =
    "ERROR: MonitorMaxClientsPerAddress '%s' is not a number from 1 to %d: using %d";

constexpr std::size_t kAddressTextMax = 63;
constexpr std::uint32_t kLoopbackNetwork = 0x7F000000;  // 127.0.0.0/8
constexpr std::uint32_t kLoopbackMask = 0xFF000000;
constexpr int kAddressBits = 32;
constexpr const char* kListSeparators = ",; \t";

std::string Line(const char* format, const std::string& a) {
  char buf[kAllowedClientsMax + 256];
  std::snprintf(buf, sizeof buf, format, a.c_str());
  return buf;
}

bool ParseAddress(const std::string& text, std::uint32_t* out) {
  in_addr a{};
  if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
  *out = ntohl(a.s_addr);
  return true;
}

bool ParseRange(const std::string& entry, AllowList::Range* out) {
  std::size_t slash = entry.find('/');
  std::uint32_t address = 0;
  if (!ParseAddress(entry.substr(0, slash), &address)) return false;
  int bits = kAddressBits;
  if (slash != std::string::npos) {
    std::string prefix = entry.substr(slash + 1);
    if (prefix.empty() || prefix.size() > 2 ||
        prefix.find_first_not_of("0123456789") != std::string::npos)
      return false;
    bits = std::atoi(prefix.c_str());
    if (bits > kAddressBits) return false;
  }
  // Shifting a 32-bit value by 32 is undefined: /0 is spelled out.
  out->mask = bits == 0 ? 0 : ~std::uint32_t{0} << (kAddressBits - bits);
  out->network = address & out->mask;
  return true;
}

}  // namespace

bool AllowList::Allows(in_addr peer) const {
  std::uint32_t address = ntohl(peer.s_addr);
  // Without a list the port serves this machine only: someone has to name
  // the stations that may watch the gateway from elsewhere.
  if (!restricted) return (address & kLoopbackMask) == kLoopbackNetwork;
  for (const Range& r : ranges)
    if ((address & r.mask) == r.network) return true;
  return false;
}

AllowList ReadAllowList(std::string_view text, std::vector<std::string>* bad) {
  AllowList list;
  const std::size_t bad_before = bad->size();
  list.ranges = ParseAllowedClients(text, bad);
  list.restricted = !list.ranges.empty() || bad->size() > bad_before;
  return list;
}

std::string BadAllowListEntryLine(const char* key, const std::string& entry) {
  char buf[kAllowedClientsMax + 256];
  std::snprintf(buf, sizeof buf, kBadAllowedEntry, key, entry.c_str());
  return buf;
}

std::vector<AllowList::Range> ParseAllowedClients(std::string_view text,
                                                  std::vector<std::string>* bad) {
  std::vector<AllowList::Range> out;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t start = text.find_first_not_of(kListSeparators, at);
    if (start == std::string_view::npos) break;
    std::size_t end = text.find_first_of(kListSeparators, start);
    if (end == std::string_view::npos) end = text.size();
    std::string entry(text.substr(start, end - start));
    AllowList::Range range;
    if (ParseRange(entry, &range))
      out.push_back(range);
    else if (bad)
      bad->push_back(entry);
    at = end;
  }
  return out;
}

MonitorAccess ReadMonitorAccess(const std::string& profile_file_name,
                                std::vector<std::string>* problems) {
  MonitorAccess access;
  std::string bind =
      core::GetIniString("Config", kKeyBindAddress, "", profile_file_name, kAddressTextMax);
  if (!bind.empty()) {
    std::uint32_t address = 0;
    if (ParseAddress(bind, &address)) {
      access.bind_address.s_addr = htonl(address);
    } else {
      // A typo must not open the port wider than meant: loopback only.
      access.bind_address.s_addr = htonl(INADDR_LOOPBACK);
      problems->push_back(Line(kBadBindAddress, bind));
    }
  }

  std::string list = core::GetIniString("Config", kKeyAllowedClients, "", profile_file_name,
                                        kAllowedClientsMax + 1);
  std::vector<std::string> bad;
  access.allowed = ReadAllowList(list, &bad);
  for (const std::string& entry : bad)
    problems->push_back(BadAllowListEntryLine(kKeyAllowedClients, entry));
  if (access.allowed.restricted && access.allowed.ranges.empty())
    problems->push_back(kNoAllowedEntry);

  std::string max =
      core::GetIniString("Config", kKeyMaxPerAddress, "", profile_file_name, kAddressTextMax);
  if (!max.empty()) {
    char* end = nullptr;
    long v = std::strtol(max.c_str(), &end, 10);
    if (*end != '\0' || v < 1 || v > kMonitorClients) {
      char buf[256];
      std::snprintf(buf, sizeof buf, kBadMaxPerAddress, max.c_str(), kMonitorClients,
                    kDefaultMaxClientsPerAddress);
      problems->push_back(buf);
    } else {
      access.max_per_address = static_cast<int>(v);
    }
  }
  return access;
}

}  // namespace monitor
