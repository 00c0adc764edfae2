#include "config.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <set>

#include "jpeg_frame.h"

namespace sim {

const char* const kUsage =
    "usage: ocelam-sim [--bind ADDR] [--control-port PORT] [--duration SECONDS]\n"
    "                  [--camera KEYS]... [--cameras count=N[,first=ID][,KEYS]]...\n"
    "  KEYS is a comma-separated list of key=value:\n"
    "    id=N (required for --camera)  port=P (0: a free port)  path=/mjpg\n"
    "    fps=F (default 10; 0: as fast as the client reads)  size=BYTES (0: natural)\n"
    "    user=U pass=P (basic authentication when user is set)\n"
    "    drop=0|1 after=N stall=MS garbage=BYTES status=CODE dead=0|1\n"
    "  Prints \"camera ID port P\" per camera, \"control port P\" and \"ready\".\n"
    "  Control (one line per command on the control port): list | set [camera] ID|all KEYS |\n"
    "    clear [camera] ID|all | stats [camera] ID | quit | help\n";

namespace {

bool ParseInt(std::string_view text, long min, long max, long* out) {
  std::string s(text);
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(s.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

bool ParseDouble(std::string_view text, double min, double max, double* out) {
  std::string s(text);
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  double v = std::strtod(s.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < min || v > max) return false;
  *out = v;
  return true;
}

bool ParseFlag(std::string_view text, bool* out) {
  long v = 0;
  if (!ParseInt(text, 0, 1, &v)) return false;
  *out = v != 0;
  return true;
}

std::string Range(long min, long max) {
  return " (" + std::to_string(min) + " to " + std::to_string(max) + ")";
}

bool ApplyKey(std::string_view key, std::string_view value, bool at_run_time, CameraSettings* s,
              std::string* error) {
  auto bad = [&](const std::string& why) {
    *error = "bad value for " + std::string(key) + ": '" + std::string(value) + "'" + why;
    return false;
  };
  long n = 0;
  if (at_run_time && (key == "id" || key == "port" || key == "fps")) {
    *error = std::string(key) + " is fixed at start";
    return false;
  }
  if (key == "id") {
    if (!ParseInt(value, 1, kMaxDeviceId, &n)) return bad(Range(1, kMaxDeviceId));
    s->id = static_cast<int>(n);
  } else if (key == "port") {
    if (!ParseInt(value, 0, 65535, &n)) return bad(Range(0, 65535));
    s->port = static_cast<int>(n);
  } else if (key == "path") {
    if (value.empty() || value.front() != '/') return bad(" (must start with /)");
    s->path = std::string(value);
  } else if (key == "fps") {
    if (!ParseDouble(value, 0, kMaxFps, &s->fps)) return bad(" (0 to 1000)");
  } else if (key == "size") {
    if (!ParseInt(value, 0, static_cast<long>(kMaxFrameSize), &n) ||
        (n != 0 && n < static_cast<long>(kMinFrameSize)))
      return bad(" (0, or " + std::to_string(kMinFrameSize) + " to " +
                 std::to_string(kMaxFrameSize) + ")");
    s->size = static_cast<std::size_t>(n);
  } else if (key == "user") {
    s->user = std::string(value);
  } else if (key == "pass") {
    s->pass = std::string(value);
  } else if (key == "drop") {
    if (!ParseFlag(value, &s->drop)) return bad(" (0 or 1)");
  } else if (key == "after") {
    if (!ParseInt(value, 0, kMaxAfterFrames, &n)) return bad(Range(0, kMaxAfterFrames));
    s->after = static_cast<int>(n);
  } else if (key == "stall") {
    if (!ParseInt(value, 0, kMaxStallMs, &n)) return bad(Range(0, kMaxStallMs));
    s->stall_ms = static_cast<int>(n);
  } else if (key == "garbage") {
    if (!ParseInt(value, 0, kMaxGarbageBytes, &n)) return bad(Range(0, kMaxGarbageBytes));
    s->garbage = static_cast<int>(n);
  } else if (key == "status") {
    if (!ParseInt(value, 0, 599, &n) || (n != 0 && n < 100)) return bad(" (0, or 100 to 599)");
    s->status = static_cast<int>(n);
  } else if (key == "dead") {
    if (!ParseFlag(value, &s->dead)) return bad(" (0 or 1)");
  } else {
    *error = "unknown key '" + std::string(key) + "'";
    return false;
  }
  return true;
}

// Splits "a=1,b=2 c=3" into its items.
std::vector<std::string_view> SplitItems(std::string_view keys) {
  std::vector<std::string_view> items;
  std::size_t i = 0;
  while (i < keys.size()) {
    std::size_t end = keys.find_first_of(", \t", i);
    if (end == std::string_view::npos) end = keys.size();
    if (end > i) items.push_back(keys.substr(i, end - i));
    i = end + 1;
  }
  return items;
}

bool SplitItem(std::string_view item, std::string_view* key, std::string_view* value,
               std::string* error) {
  std::size_t eq = item.find('=');
  if (eq == std::string_view::npos || eq == 0) {
    *error = "expected key=value, got '" + std::string(item) + "'";
    return false;
  }
  *key = item.substr(0, eq);
  *value = item.substr(eq + 1);
  return true;
}

// "--cameras count=N,first=ID,...": N cameras with ids from `first` on; a
// port other than 0 is the first of N consecutive ports.
bool AddCameraGroup(std::string_view keys, Options* options, std::string* error) {
  long count = 0, first = 1;
  std::string rest;
  for (std::string_view item : SplitItems(keys)) {
    std::string_view key, value;
    if (!SplitItem(item, &key, &value, error)) return false;
    if (key == "count") {
      if (!ParseInt(value, 1, kMaxCameraCount, &count)) {
        *error = "bad value for count: '" + std::string(value) + "'" + Range(1, kMaxCameraCount);
        return false;
      }
    } else if (key == "first") {
      if (!ParseInt(value, 1, kMaxDeviceId, &first)) {
        *error = "bad value for first: '" + std::string(value) + "'" + Range(1, kMaxDeviceId);
        return false;
      }
    } else if (key == "id") {
      *error = "--cameras takes first=ID, not id";
      return false;
    } else {
      rest.append(item).append(",");
    }
  }
  if (count == 0) {
    *error = "--cameras needs count=N";
    return false;
  }
  if (first + count - 1 > kMaxDeviceId) {
    *error = "camera ids beyond " + std::to_string(kMaxDeviceId);
    return false;
  }
  CameraSettings base;
  if (!ApplyCameraKeys(rest, false, &base, error)) return false;
  if (base.port != 0 && base.port + count - 1 > 65535) {
    *error = "camera ports beyond 65535";
    return false;
  }
  for (long i = 0; i < count; ++i) {
    CameraSettings s = base;
    s.id = static_cast<int>(first + i);
    if (base.port != 0) s.port = static_cast<int>(base.port + i);
    options->cameras.push_back(s);
  }
  return true;
}

}  // namespace

bool ApplyCameraKeys(std::string_view keys, bool at_run_time, CameraSettings* settings,
                     std::string* error) {
  for (std::string_view item : SplitItems(keys)) {
    std::string_view key, value;
    if (!SplitItem(item, &key, &value, error)) return false;
    if (!ApplyKey(key, value, at_run_time, settings, error)) return false;
  }
  return true;
}

void ClearFaults(CameraSettings* s) {
  s->drop = false;
  s->after = 0;
  s->stall_ms = 0;
  s->garbage = 0;
  s->status = 0;
  s->dead = false;
}

bool ParseCommandLine(int argc, char** argv, Options* options, bool* help, std::string* error) {
  *help = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    std::string_view value;
    std::size_t eq = arg.find('=');
    bool inline_value = arg.substr(0, 2) == "--" && eq != std::string_view::npos;
    std::string_view name = inline_value ? arg.substr(0, eq) : arg;
    if (name == "--help" || name == "-h") {
      *help = true;
      return true;
    }
    if (inline_value) {
      value = arg.substr(eq + 1);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      *error = "missing value after " + std::string(arg);
      return false;
    }
    long n = 0;
    if (name == "--bind") {
      options->bind = std::string(value);
    } else if (name == "--control-port") {
      if (!ParseInt(value, 0, 65535, &n)) {
        *error = "bad control port '" + std::string(value) + "'";
        return false;
      }
      options->control_port = static_cast<int>(n);
    } else if (name == "--duration") {
      if (!ParseDouble(value, 0, 1e9, &options->duration_s)) {
        *error = "bad duration '" + std::string(value) + "'";
        return false;
      }
    } else if (name == "--camera") {
      CameraSettings s;
      if (!ApplyCameraKeys(value, false, &s, error)) return false;
      if (s.id == 0) {
        *error = "--camera needs id=N";
        return false;
      }
      options->cameras.push_back(s);
    } else if (name == "--cameras") {
      if (!AddCameraGroup(value, options, error)) return false;
    } else {
      *error = "unknown option " + std::string(name);
      return false;
    }
  }
  std::set<int> ids, ports;
  for (const CameraSettings& c : options->cameras) {
    if (!ids.insert(c.id).second) {
      *error = "camera id " + std::to_string(c.id) + " given twice";
      return false;
    }
    if (c.port != 0 && !ports.insert(c.port).second) {
      *error = "port " + std::to_string(c.port) + " given twice";
      return false;
    }
  }
  if (options->cameras.empty()) {
    *error = "no device given";
    return false;
  }
  return true;
}

}  // namespace sim
