#include "text.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace sim {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string Escape(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size());
  for (char c : bytes) {
    auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        if (u >= 0x20 && u < 0x7F) {
          out += c;
        } else {
          out += "\\x";
          out += kHex[u >> 4];
          out += kHex[u & 15];
        }
    }
  }
  return out;
}

bool Unescape(std::string_view text, std::string* bytes, std::string* error) {
  bytes->clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      *bytes += text[i];
      continue;
    }
    if (++i == text.size()) {
      *error = "lone backslash at the end of '" + std::string(text) + "'";
      return false;
    }
    switch (text[i]) {
      case '\\':
        *bytes += '\\';
        break;
      case '"':
        *bytes += '"';
        break;
      case ',':
        *bytes += ',';
        break;
      case ' ':
        *bytes += ' ';
        break;
      case 'r':
        *bytes += '\r';
        break;
      case 'n':
        *bytes += '\n';
        break;
      case 't':
        *bytes += '\t';
        break;
      case '0':
        *bytes += '\0';
        break;
      case 'x': {
        int hi = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
        int lo = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
        if (hi < 0 || lo < 0) {
          *error = "\\x needs two hex digits in '" + std::string(text) + "'";
          return false;
        }
        *bytes += static_cast<char>(hi * 16 + lo);
        i += 2;
        break;
      }
      default:
        *error = "unknown escape \\" + std::string(1, text[i]) + " in '" + std::string(text) + "'";
        return false;
    }
  }
  return true;
}

bool SplitItems(std::string_view keys, std::vector<std::string>* items, std::string* error) {
  items->clear();
  std::string item;
  bool quoted = false;
  bool in_item = false;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    char c = keys[i];
    if (c == '\\' && i + 1 < keys.size()) {
      item += c;
      item += keys[++i];
      in_item = true;
    } else if (c == '"') {
      quoted = !quoted;
      in_item = true;
    } else if (!quoted && (c == ',' || c == ' ' || c == '\t')) {
      if (in_item) items->push_back(item);
      item.clear();
      in_item = false;
    } else {
      item += c;
      in_item = true;
    }
  }
  if (quoted) {
    *error = "unterminated quote in '" + std::string(keys) + "'";
    return false;
  }
  if (in_item) items->push_back(item);
  return true;
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

}  // namespace sim
