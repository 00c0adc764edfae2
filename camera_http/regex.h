#pragma once
// The small backtracking regular-expression engine with which the gateway
// takes values out of camera replies (the recording handle) and alarm-input
// lines (IO box, pin, state, type). Classic regexp(3) syntax: literals, ".",
// "^", "$", "[...]", "(...)" (nine groups), "*", "+", "?", "|", backslash
// escapes; leftmost match, alternatives tried in order, greedy repetitions.
//
// An expression that does not compile never stops the gateway: regcompile
// returns null and hands the reason back. Matching keeps its backtracking
// state on the heap (the gateway's threads have 128 KiB stacks) and gives up
// after a bounded amount of work or memory, which counts as "no match".
//
// Each call works only on its own regexp and its own locals, so threads may
// compile and match at the same time as long as they use separate regexps.
#include <cstddef>
#include <cstdint>
#include <memory>

namespace camera_http {

// Parts of a match: 0 is the whole match, 1 to 9 the parenthesised groups
// numbered by their opening parenthesis.
inline constexpr int kRegexpParts = 10;

// The compiled form of one expression must stay below this many bytes.
inline constexpr std::size_t kRegexpMaxProgramBytes = 32767;

// Work bound of one regexecute: program steps (one instruction, one character
// tried by a repetition or one retreat of a repetition). Well-behaved
// expressions need a small multiple of the subject length; this bound only
// stops pathological ones, which then count as not matching.
inline constexpr std::uint64_t kRegexpMaxSteps = 50'000'000;

// Memory bound of one regexecute: the backtracking stack plus the table of
// already-failed states (the latter keeps nested repetitions polynomial).
inline constexpr std::size_t kRegexpMaxMatchBytes = 64u << 20;

// What callers write to their log when an expression from the camera
// definitions does not compile (argument: the expression), and when it does
// not match a reply or line (arguments: expression, subject).
inline constexpr char kRegexpCompileFailed[] = "ERROR: unable to compile the regexp '%s'";
inline constexpr char kRegexpExecuteFailed[] = "ERROR: unable to execute the regexp '%s' on '%s'";

// Form in which a reported engine message is shown (argument: the message).
inline constexpr char kRegexpReportFormat[] = "regexp(3): %s";

// Compilation errors.
inline constexpr char kRegexpUnmatchedParen[] = "unmatched ()";
inline constexpr char kRegexpTooManyParens[] = "too many ()";
inline constexpr char kRegexpUnmatchedBracket[] = "unmatched []";
inline constexpr char kRegexpInvalidRange[] = "invalid [] range";
inline constexpr char kRegexpFollowsNothing[] = "?+* follows nothing";
inline constexpr char kRegexpNestedRepeat[] = "nested *?+";
inline constexpr char kRegexpEmptyOperand[] = "*+ operand could be empty";
inline constexpr char kRegexpTrailingBackslash[] = "trailing \\";
inline constexpr char kRegexpTooBig[] = "regexp too big";
inline constexpr char kRegexpOutOfSpace[] = "out of space";

// Missing arguments and broken internal state; no expression or subject text
// can cause them.
inline constexpr char kRegexpNullArgument[] = "NULL argument";
inline constexpr char kRegexpJunkOnEnd[] = "junk on end";
inline constexpr char kRegexpInternalUrp[] = "internal urp";
inline constexpr char kRegexpInternalDisaster[] = "internal disaster";
inline constexpr char kRegexpInternalFoulup[] = "internal foulup";
inline constexpr char kRegexpCorruptedPointers[] = "corrupted pointers";
inline constexpr char kRegexpMemoryCorruption[] = "memory corruption";
inline constexpr char kRegexpCorruptedProgram[] = "corrupted program";
inline constexpr char kRegexpNullParameter[] = "NULL parameter";
inline constexpr char kRegexpNullSubstitution[] = "NULL parm to regsub";
inline constexpr char kRegexpDamagedForSubstitution[] = "damaged regexp fed to regsub";
inline constexpr char kRegexpDamagedMatch[] = "damaged match string";

// One compiled expression, owned by whoever compiled it until regrelease.
// After a successful regexecute, startp[i]/endp[i] point into the subject
// text at the start and just past the end of part i; both are null for a
// group that did not take part in the match.
struct regexp {
  const char* startp[kRegexpParts];
  const char* endp[kRegexpParts];
  // The last regexecute ran into kRegexpMaxSteps or kRegexpMaxMatchBytes and
  // reported "no match" without deciding.
  bool exhausted;
  // Compiled form; its layout belongs to the engine.
  std::uint32_t magic;
  std::uint32_t program_bytes;
  const void* program;
};

// Compiles `expression` (NUL-terminated). Returns a new regexp, or null after
// reporting the reason through regreport; the reason (one of the literals
// above) is also stored in `*error` when `error` is not null.
regexp* regcompile(const char* expression, const char** error = nullptr);

// Searches `subject` (NUL-terminated) for the leftmost match. Returns 1 and
// fills startp/endp, or 0 when nothing matches (also when the work bound was
// reached, see `exhausted`, or after reporting a null argument).
int regexecute(regexp* prog, const char* subject);

// Writes `source` with its substitutions made (& or \0: the whole match, \1
// to \9: a group, \& and \\: the character itself, any other backslash pair
// copied as is) to `dest`, cut to `capacity` - 1 characters and NUL-terminated.
// Returns 0, or -1 after reporting a null argument or a regexp that was not
// compiled by regcompile.
int regsub(const regexp* prog, const char* source, char* dest, std::size_t capacity);

// Frees a regexp from regcompile; null is ignored.
void regrelease(regexp* prog);

// Records an engine message as the calling thread's last error and returns,
// so a bad expression is the caller's business, never the end of the process.
void regreport(const char* message);

// The last message regreport recorded on this thread, or "" when none.
const char* reglasterror();

// Owns a compiled expression, releasing it on every way out of a scope.
struct RegexpRelease {
  void operator()(regexp* prog) const { regrelease(prog); }
};
using RegexpPtr = std::unique_ptr<regexp, RegexpRelease>;

}  // namespace camera_http
