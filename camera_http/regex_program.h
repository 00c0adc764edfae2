#pragma once
// The compiled form of a regular expression, shared by the compiler
// (regex.cpp) and the matcher (regex_match.cpp). Nothing outside the engine
// looks inside it.
//
// One block holds a header, the instructions (32-bit words), the character
// sets (256-bit maps) and the literal pool, in that order. Its size is what
// the "regexp too big" limit measures.
#include <cstddef>
#include <cstdint>

#include "camera_http/regex.h"

namespace camera_http {

namespace regex_internal {

// Set in a live regexp; cleared when it is released.
inline constexpr std::uint32_t kMagic = 0x5e9c0a71;

// Instructions; the words after the opcode are listed beside each.
enum Op : std::int32_t {
  kOpMatch = 1,  // -
  kOpChar,       // byte
  kOpString,     // pool offset, length (at least 2)
  kOpAny,        // -
  kOpSet,        // set index
  kOpBol,        // -
  kOpEol,        // -
  kOpSave,       // capture slot (2 * group, 2 * group + 1)
  kOpSplit,      // target, point: try the next instruction first, then target
  kOpSplitBack,  // target, point: try target first, then the next instruction
  kOpJump,       // target
  kOpRepeat,     // min, max (0: no limit), kind, operand, point, follow byte (-1: any)
};

// What a kOpRepeat repeats: one byte, any byte, or one byte of a set.
enum RepeatKind : std::int32_t { kRepeatChar, kRepeatAny, kRepeatSet };

// Words taken by each instruction, opcode included.
inline constexpr int kMatchWords = 1;
inline constexpr int kCharWords = 2;
inline constexpr int kStringWords = 3;
inline constexpr int kAnyWords = 1;
inline constexpr int kSetWords = 2;
inline constexpr int kAnchorWords = 1;
inline constexpr int kSaveWords = 2;
inline constexpr int kSplitWords = 3;
inline constexpr int kJumpWords = 2;
inline constexpr int kRepeatWords = 7;

inline constexpr int kSetWordsPerMap = 8;  // 256 bits
inline constexpr int kFewFirstBytes = 3;

struct ProgramHeader {
  std::uint32_t code_words;
  std::uint32_t set_count;
  std::uint32_t pool_bytes;
  // Choice points (splits and repetitions); each gets one row of the table
  // of failed states when the matcher needs it.
  std::uint32_t points;
  // Every match starts at the start of the subject.
  std::uint8_t anchored;
  // Some match may consume nothing at its start, so every position is a
  // candidate; otherwise only positions whose byte is in `first`.
  std::uint8_t nullable;
  // `first` admits every byte (no point in testing it).
  std::uint8_t first_all;
  // When `first` holds at most kFewFirstBytes bytes: how many, and which
  // (candidates are then found with memchr); 0 otherwise.
  std::uint8_t first_count;
  std::uint8_t first_bytes[4];
  std::uint32_t first[kSetWordsPerMap];
  // Literal text every match starts with (in the pool; length 0: none).
  std::uint32_t prefix_offset;
  std::uint32_t prefix_length;
  // Literal text every match contains (in the pool; length 0: none).
  std::uint32_t must_offset;
  std::uint32_t must_length;
};

// Views of the parts of a compiled block.
struct ProgramView {
  const ProgramHeader* header;
  const std::int32_t* code;
  const std::uint32_t* sets;
  const char* pool;
};

inline ProgramView ViewProgram(const void* block) {
  const auto* header = static_cast<const ProgramHeader*>(block);
  const auto* code = reinterpret_cast<const std::int32_t*>(header + 1);
  const auto* sets = reinterpret_cast<const std::uint32_t*>(code + header->code_words);
  const auto* pool = reinterpret_cast<const char*>(sets + header->set_count * kSetWordsPerMap);
  return {header, code, sets, pool};
}

inline bool InSet(const std::uint32_t* map, unsigned char c) {
  return (map[c >> 5] >> (c & 31)) & 1u;
}

inline void AddToSet(std::uint32_t* map, unsigned char c) { map[c >> 5] |= 1u << (c & 31); }

}  // namespace regex_internal

}  // namespace camera_http
