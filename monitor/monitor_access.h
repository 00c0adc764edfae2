#pragma once
// Who may use the monitor port, and how much of it one peer may take. Read
// once at start from section "Config" of the program's profile file; nothing
// is written back (the keys are for administrators who need them; a file
// without them admits clients of this machine only). The allow-list and its
// parser serve the status port too.
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace monitor {

inline constexpr int kDefaultMaxClientsPerAddress = 8;
// Longest "MonitorAllowedClients" value read; a longer one is cut.
inline constexpr std::size_t kAllowedClientsMax = 4095;

// The addresses a port admits: IPv4 addresses and ranges.
struct AllowList {
  // An address range in host byte order: `network` with the `mask` bits.
  struct Range {
    std::uint32_t network = 0;
    std::uint32_t mask = 0;
  };

  std::vector<Range> ranges;
  // True when a list was given, even if none of its entries was usable:
  // then nobody is admitted. Not restricted (no list, or an empty one):
  // the loopback addresses 127.0.0.0/8 only.
  bool restricted = false;

  bool Allows(in_addr peer) const;
};

// `text` as an allow-list: a list with no entry at all is not restricted;
// entries that are neither address nor range go to `bad` (and restrict it).
AllowList ReadAllowList(std::string_view text, std::vector<std::string>* bad);

// The line telling a bad entry of the allow-list `key`.
std::string BadAllowListEntryLine(const char* key, const std::string& entry);

struct MonitorAccess {
  in_addr bind_address{htonl(INADDR_ANY)};
  AllowList allowed;
  int max_per_address = kDefaultMaxClientsPerAddress;

  bool Allows(in_addr peer) const { return allowed.Allows(peer); }
};

// Reads "MonitorBindAddress", "MonitorAllowedClients" and
// "MonitorMaxClientsPerAddress" of section "Config" in `profile_file_name`
// (resolved like every profile file). A value that cannot be used is
// replaced as described at each message, and each problem is described in
// `problems` in a line for the log.
MonitorAccess ReadMonitorAccess(const std::string& profile_file_name,
                                std::vector<std::string>* problems);

// Parses a list of dotted IPv4 addresses and CIDR ranges ("a.b.c.d/n"),
// separated by commas, semicolons or blanks. Entries that are neither are
// returned in `bad`.
std::vector<AllowList::Range> ParseAllowedClients(std::string_view text,
                                                      std::vector<std::string>* bad);

}  // namespace monitor
