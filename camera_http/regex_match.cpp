// Matching of compiled regular expressions (regexecute).
//
// A backtracking matcher whose choice points live on a heap stack, never on
// the thread's own stack: a long line cannot overflow the 128 KiB stacks of
// the gateway's threads. It runs in two modes:
//  - plain: straight backtracking, fastest on the expressions the gateway
//    uses, but exponential on nested repetitions such as (a|aa)*b;
//  - remembering: every choice point (split or repetition) at every subject
//    position is explored at most once, because whether the rest of the
//    expression matches from there does not depend on how we got there. A
//    table of one bit per choice point and position records the places
//    already known to fail, which makes any search polynomial.
// The plain mode gets a budget proportional to the subject length; a search
// that spends it starts again in remembering mode (or, when the table would
// be too large, goes on in plain mode). Everything stops at kRegexpMaxSteps
// or kRegexpMaxMatchBytes, and that counts as no match.
#include <cstdlib>
#include <cstring>

#include "camera_http/regex.h"
#include "camera_http/regex_program.h"

namespace camera_http {

using namespace regex_internal;

namespace {

constexpr std::uint32_t kNoPosition = 0xffffffffu;
constexpr int kSlots = 2 * kRegexpParts;

// Budget of the plain mode before it hands over: a generous multiple of the
// subject length, plus room for one long walk through the program per start.
constexpr std::uint64_t kPlainStepsPerByte = 32;
constexpr std::uint64_t kPlainStepsBase = 4096;

enum class Outcome { kNoMatch, kMatch, kGiveUp, kBroken };

// Where one instruction, or one return to a choice point, leaves a search.
enum class Step {
  kGoOn,     // pc and pos hold the next state
  kFail,     // this way does not match: back to the latest choice
  kMatch,    // the program's end is reached
  kNoMatch,  // no choice is left
  kGiveUp,   // out of steps or stack
  kBroken,   // the program or the stack is damaged (reported)
};

// One entry of the backtracking stack.
enum FrameKind : std::uint32_t {
  kFrameAlternative = 0,  // resume at pc with position a
  kFrameRestore = 1,      // put a back into capture slot pc
  kFrameRetreat = 2,      // the repetition at pc may give back: positions a (lowest) to b (current)
};
constexpr int kFrameKindShift = 30;
constexpr std::uint32_t kFramePcMask = (1u << kFrameKindShift) - 1;

struct Frame {
  std::uint32_t kind_pc;
  std::uint32_t a;
  std::uint32_t b;

  FrameKind kind() const { return static_cast<FrameKind>(kind_pc >> kFrameKindShift); }
  std::uint32_t pc() const { return kind_pc & kFramePcMask; }
};

// A growable stack with room for the usual shallow searches built in, and a
// hard limit on how far it may grow.
class FrameStack {
 public:
  explicit FrameStack(std::size_t max_frames) : max_frames_(max_frames) {}
  ~FrameStack() {
    if (data_ != builtin_) std::free(data_);
  }
  FrameStack(const FrameStack&) = delete;
  FrameStack& operator=(const FrameStack&) = delete;

  bool Push(FrameKind kind, std::uint32_t pc, std::uint32_t a, std::uint32_t b = 0) {
    if (size_ == capacity_ && !Grow()) return false;
    data_[size_++] = Frame{(static_cast<std::uint32_t>(kind) << kFrameKindShift) | pc, a, b};
    return true;
  }
  bool empty() const { return size_ == 0; }
  Frame& top() { return data_[size_ - 1]; }
  void pop() { --size_; }
  void clear() { size_ = 0; }
  void set_max_frames(std::size_t max_frames) { max_frames_ = max_frames; }

 private:
  bool Grow() {
    if (capacity_ >= max_frames_) return false;
    std::size_t wanted = capacity_ * 2 < max_frames_ ? capacity_ * 2 : max_frames_;
    void* grown = data_ == builtin_ ? std::malloc(wanted * sizeof(Frame))
                                    : std::realloc(data_, wanted * sizeof(Frame));
    if (grown == nullptr) return false;
    if (data_ == builtin_) std::memcpy(grown, builtin_, size_ * sizeof(Frame));
    data_ = static_cast<Frame*>(grown);
    capacity_ = wanted;
    return true;
  }

  static constexpr std::size_t kBuiltinFrames = 64;
  Frame builtin_[kBuiltinFrames];
  Frame* data_ = builtin_;
  std::size_t size_ = 0;
  std::size_t capacity_ = kBuiltinFrames;
  std::size_t max_frames_;
};

class Matcher {
 public:
  Matcher(const ProgramView& view, const unsigned char* subject, std::uint32_t length)
      : view_(view),
        code_(view.code),
        subject_(subject),
        length_(length),
        stack_(kRegexpMaxMatchBytes / sizeof(Frame)) {
    for (std::uint32_t& slot : caps_) slot = kNoPosition;
  }
  ~Matcher() { std::free(failed_); }
  Matcher(const Matcher&) = delete;
  Matcher& operator=(const Matcher&) = delete;

  // Bytes the table of failed states needs for this subject.
  std::size_t TableBytes() const {
    return (static_cast<std::size_t>(view_.header->points) * (length_ + 1) + 7) / 8;
  }

  // Looks for the leftmost match, spending steps up to `step_limit` (counted
  // across calls). With `remember` set, failed states are recorded.
  Outcome Search(bool remember, std::uint64_t step_limit) {
    step_limit_ = step_limit;
    stack_.clear();
    for (std::uint32_t& slot : caps_) slot = kNoPosition;
    if (remember) {
      std::size_t table = TableBytes();
      failed_ = static_cast<unsigned char*>(std::calloc(table > 0 ? table : 1, 1));
      if (failed_ == nullptr) return Outcome::kGiveUp;
      stack_.set_max_frames((kRegexpMaxMatchBytes - table) / sizeof(Frame));
    }
    const ProgramHeader& header = *view_.header;
    if (header.anchored) return Try(0);

    if (header.prefix_length > 0) {
      const char* prefix = view_.pool + header.prefix_offset;
      const std::uint32_t prefix_length = header.prefix_length;
      const char* text = reinterpret_cast<const char*>(subject_);
      for (std::uint32_t pos = 0; length_ - pos >= prefix_length;) {
        const void* hit = prefix_length == 1
                              ? std::memchr(text + pos, prefix[0], length_ - pos)
                              : memmem(text + pos, length_ - pos, prefix, prefix_length);
        if (hit == nullptr) break;
        pos = static_cast<std::uint32_t>(static_cast<const char*>(hit) - text);
        Outcome outcome = Try(pos);
        if (outcome != Outcome::kNoMatch) return outcome;
        ++pos;
      }
      return Outcome::kNoMatch;
    }

    if (!header.nullable && header.first_count > 0) return SearchFewFirstBytes(header);
    if (!header.nullable && !header.first_all) {
      // Only a byte that can begin a match can start one; the end of the
      // subject cannot, since every match consumes something first.
      for (std::uint32_t pos = 0; pos < length_; ++pos) {
        if (!InSet(header.first, subject_[pos])) continue;
        Outcome outcome = Try(pos);
        if (outcome != Outcome::kNoMatch) return outcome;
      }
      return Outcome::kNoMatch;
    }

    for (std::uint32_t pos = 0; pos <= length_; ++pos) {
      Outcome outcome = Try(pos);
      if (outcome != Outcome::kNoMatch) return outcome;
    }
    return Outcome::kNoMatch;
  }

  std::uint64_t steps() const { return steps_; }
  std::uint32_t match_start() const { return match_start_; }
  std::uint32_t match_end() const { return match_end_; }
  std::uint32_t slot(int i) const { return caps_[i]; }

 private:
  // Tries the places of the few bytes that can begin a match, leftmost
  // first, finding each with memchr.
  Outcome SearchFewFirstBytes(const ProgramHeader& header) {
    const int count = header.first_count;
    std::uint32_t next[kFewFirstBytes];
    auto find = [&](int i, std::uint32_t from) {
      const void* hit = from < length_
                            ? std::memchr(subject_ + from, header.first_bytes[i], length_ - from)
                            : nullptr;
      next[i] = hit == nullptr
                    ? length_
                    : static_cast<std::uint32_t>(static_cast<const unsigned char*>(hit) - subject_);
    };
    for (int i = 0; i < count; ++i) find(i, 0);
    for (;;) {
      std::uint32_t pos = next[0];
      for (int i = 1; i < count; ++i) pos = next[i] < pos ? next[i] : pos;
      if (pos >= length_) return Outcome::kNoMatch;
      Outcome outcome = Try(pos);
      if (outcome != Outcome::kNoMatch) return outcome;
      for (int i = 0; i < count; ++i) {
        if (next[i] == pos) find(i, pos + 1);
      }
    }
  }

  // Marks (point, pos) as explored; false when it already was.
  bool FirstVisit(std::int32_t point, std::uint32_t pos) {
    std::size_t bit = static_cast<std::size_t>(point) * (length_ + 1) + pos;
    unsigned char mask = static_cast<unsigned char>(1u << (bit & 7));
    if (failed_[bit >> 3] & mask) return false;
    failed_[bit >> 3] |= mask;
    return true;
  }

  // The highest position in [lo, cur] at which the byte `follow` stands (any
  // position when follow is -1); false when there is none.
  bool StopAt(std::uint32_t lo, std::uint32_t& cur, std::int32_t follow) const {
    if (follow < 0) return true;
    std::uint32_t end = cur < length_ ? cur + 1 : length_;
    if (end <= lo) return false;
    const void* hit = memrchr(subject_ + lo, follow, end - lo);
    if (hit == nullptr) return false;
    cur = static_cast<std::uint32_t>(static_cast<const unsigned char*>(hit) - subject_);
    return true;
  }

  // Runs the program from `start`; on a match the captures hold the groups.
  Outcome Try(std::uint32_t start) {
    std::uint32_t pc = 0;
    std::uint32_t pos = start;
    for (;;) {
      if (++steps_ > step_limit_) return GiveUp();
      Step step = Execute(pc, pos);
      if (step == Step::kFail) step = Backtrack(pc, pos);
      if (step != Step::kGoOn) return Finish(step, start, pos);
    }
  }

  // The outcome of the search from `start` that stopped at `step`, at `end`.
  Outcome Finish(Step step, std::uint32_t start, std::uint32_t end) {
    switch (step) {
      case Step::kMatch:
        match_start_ = start;
        match_end_ = end;
        stack_.clear();
        return Outcome::kMatch;
      case Step::kGiveUp:
        return GiveUp();
      case Step::kBroken:
        return Outcome::kBroken;
      default:
        return Outcome::kNoMatch;
    }
  }

  // Runs the instruction at pc on the subject at pos; on kGoOn both point
  // to the next state.
  [[gnu::always_inline]] Step Execute(std::uint32_t& pc, std::uint32_t& pos) {
    const std::int32_t* op = code_ + pc;
    const unsigned char* s = subject_;
    switch (op[0]) {
      case kOpMatch:
        return Step::kMatch;
      case kOpChar:
        if (pos >= length_ || s[pos] != static_cast<unsigned char>(op[1])) return Step::kFail;
        return Advance(pc, pos, kCharWords, 1);
      case kOpString: {
        const std::uint32_t n = static_cast<std::uint32_t>(op[2]);
        if (length_ - pos < n || std::memcmp(s + pos, view_.pool + op[1], n) != 0)
          return Step::kFail;
        return Advance(pc, pos, kStringWords, n);
      }
      case kOpAny:
        if (pos >= length_) return Step::kFail;
        return Advance(pc, pos, kAnyWords, 1);
      case kOpSet:
        if (pos >= length_ || !InSet(view_.sets + op[1] * kSetWordsPerMap, s[pos]))
          return Step::kFail;
        return Advance(pc, pos, kSetWords, 1);
      case kOpBol:
        return pos == 0 ? Advance(pc, pos, kAnchorWords, 0) : Step::kFail;
      case kOpEol:
        return pos == length_ ? Advance(pc, pos, kAnchorWords, 0) : Step::kFail;
      case kOpSave:
        return Save(pc, pos);
      case kOpSplit:
        return Branch(pc, pos, pc + kSplitWords, static_cast<std::uint32_t>(op[1]));
      case kOpSplitBack:
        return Branch(pc, pos, static_cast<std::uint32_t>(op[1]), pc + kSplitWords);
      case kOpJump:
        pc = static_cast<std::uint32_t>(op[1]);
        return Step::kGoOn;
      case kOpRepeat:
        return EnterRepeat(pc, pos);
      default:
        regreport(kRegexpMemoryCorruption);
        return Step::kBroken;
    }
  }

  // Moves past an instruction of `words` words that took `taken` bytes.
  [[gnu::always_inline]] static Step Advance(std::uint32_t& pc, std::uint32_t& pos, int words,
                                             std::uint32_t taken) {
    pc += static_cast<std::uint32_t>(words);
    pos += taken;
    return Step::kGoOn;
  }

  // Opens or closes a group at pos; the old value goes on the stack, to be
  // put back when this way fails.
  [[gnu::always_inline]] Step Save(std::uint32_t& pc, std::uint32_t pos) {
    const std::uint32_t slot = static_cast<std::uint32_t>(code_[pc + 1]);
    if (!stack_.Push(kFrameRestore, slot, caps_[slot])) return Step::kGiveUp;
    caps_[slot] = pos;
    pc += kSaveWords;
    return Step::kGoOn;
  }

  // A split at pc: goes on at `first` and leaves `second` as the choice to
  // come back to. In remembering mode a split already explored at pos fails.
  [[gnu::always_inline]] Step Branch(std::uint32_t& pc, std::uint32_t pos, std::uint32_t first,
                                     std::uint32_t second) {
    if (failed_ != nullptr && !FirstVisit(code_[pc + 2], pos)) return Step::kFail;
    if (!stack_.Push(kFrameAlternative, second, pos)) return Step::kGiveUp;
    pc = first;
    return Step::kGoOn;
  }

  // The repetition at pc takes its longest run from pos (or up to the last
  // place of the byte that must follow it); what it may give back later is
  // left on the stack.
  [[gnu::always_inline]] Step EnterRepeat(std::uint32_t& pc, std::uint32_t& pos) {
    std::uint32_t lo = 0;
    std::uint32_t hi = 0;
    const Outcome outcome = Repeat(pc, pos, &lo, &hi);
    if (outcome == Outcome::kBroken) return Step::kBroken;
    if (outcome == Outcome::kGiveUp) return Step::kGiveUp;
    if (outcome == Outcome::kNoMatch || !StopAt(lo, hi, code_[pc + 6])) return Step::kFail;
    if (hi > lo && !stack_.Push(kFrameRetreat, pc, lo, hi)) return Step::kGiveUp;
    pos = hi;
    pc += kRepeatWords;
    return Step::kGoOn;
  }

  // This way failed: undoes captures and takes the most recent choice left,
  // with pc and pos set to it (kGoOn); kNoMatch when none is left.
  [[gnu::always_inline]] Step Backtrack(std::uint32_t& pc, std::uint32_t& pos) {
    for (;;) {
      if (stack_.empty()) return Step::kNoMatch;
      Frame& frame = stack_.top();
      switch (frame.kind()) {
        case kFrameRestore:
          caps_[frame.pc()] = frame.a;
          stack_.pop();
          continue;
        case kFrameAlternative:
          pc = frame.pc();
          pos = frame.a;
          stack_.pop();
          return Step::kGoOn;
        case kFrameRetreat:
          if (++steps_ > step_limit_) return Step::kGiveUp;
          if (Retreat(frame, pc, pos)) return Step::kGoOn;
          continue;
        default:
          regreport(kRegexpCorruptedPointers);
          return Step::kBroken;
      }
    }
  }

  // Makes the repetition of `frame` give back one byte (or, with a known
  // next byte, up to that byte's last place before) and sets pc and pos
  // after it; false, with the frame gone, when it has nothing left to give.
  [[gnu::always_inline]] bool Retreat(Frame& frame, std::uint32_t& pc, std::uint32_t& pos) {
    const std::uint32_t repeat = frame.pc();
    const std::uint32_t lo = frame.a;
    std::uint32_t cur = frame.b - 1;
    if (!StopAt(lo, cur, code_[repeat + 6])) {
      stack_.pop();
      return false;
    }
    if (cur > lo) {
      frame.b = cur;
    } else {
      stack_.pop();
    }
    pos = cur;
    pc = repeat + kRepeatWords;
    return true;
  }

  // Takes as many bytes as the repetition at pc allows from pos. Gives the
  // positions where the rest of the program may go on: lo (after the minimum)
  // to hi (after the longest run, or where an earlier search already covered
  // the rest in remembering mode). kNoMatch when not even the minimum matches.
  Outcome Repeat(std::uint32_t pc, std::uint32_t pos, std::uint32_t* lo, std::uint32_t* hi) {
    const std::int32_t* op = code_ + pc;
    const std::int32_t min = op[1];
    const std::int32_t max = op[2];
    const std::int32_t kind = op[3];
    const std::int32_t point = op[5];
    const unsigned char* s = subject_;
    const std::uint32_t* map = kind == kRepeatSet
                                   ? view_.sets + static_cast<std::size_t>(op[4]) * kSetWordsPerMap
                                   : nullptr;
    const unsigned char c = static_cast<unsigned char>(op[4]);
    auto takes = [&](unsigned char b) {
      return kind == kRepeatAny || (kind == kRepeatChar ? b == c : InSet(map, b));
    };
    if (kind != kRepeatChar && kind != kRepeatAny && kind != kRepeatSet) {
      regreport(kRegexpInternalFoulup);
      return Outcome::kBroken;
    }

    if (max == 1) {  // x?
      if (failed_ != nullptr && !FirstVisit(point, pos)) return Outcome::kNoMatch;
      bool one = pos < length_ && takes(s[pos]);
      if (!one && min == 1) return Outcome::kNoMatch;
      *lo = pos + static_cast<std::uint32_t>(min);
      *hi = one ? pos + 1 : pos;
      return Outcome::kMatch;
    }

    std::uint32_t end = pos;
    if (min == 1) {
      if (pos >= length_ || !takes(s[pos])) return Outcome::kNoMatch;
      ++end;
    }
    *lo = end;
    if (failed_ != nullptr) {
      // Walk the states one byte at a time; a state seen before means every
      // way on from it (and further right) has been tried already.
      for (;;) {
        if (!FirstVisit(point, end)) {
          if (end == *lo) return Outcome::kNoMatch;
          --end;
          break;
        }
        if (end < length_ && takes(s[end])) {
          ++end;
        } else {
          break;
        }
      }
    } else if (kind == kRepeatAny) {
      end = length_;
    } else if (kind == kRepeatChar) {
      while (end < length_ && s[end] == c) ++end;
    } else {
      while (end < length_ && InSet(map, s[end])) ++end;
    }
    steps_ += end - pos;
    if (steps_ > step_limit_) return GiveUp();
    *hi = end;
    return Outcome::kMatch;
  }

  Outcome GiveUp() {
    stack_.clear();
    for (std::uint32_t& slot : caps_) slot = kNoPosition;
    return Outcome::kGiveUp;
  }

  const ProgramView view_;
  const std::int32_t* code_;
  const unsigned char* subject_;
  const std::uint32_t length_;
  FrameStack stack_;
  unsigned char* failed_ = nullptr;
  std::uint64_t steps_ = 0;
  std::uint64_t step_limit_ = 0;
  std::uint32_t caps_[kSlots];
  std::uint32_t match_start_ = 0;
  std::uint32_t match_end_ = 0;
};

void ClearParts(regexp* prog) {
  for (int i = 0; i < kRegexpParts; ++i) prog->startp[i] = prog->endp[i] = nullptr;
}

}  // namespace

int regexecute(regexp* prog, const char* subject) {
  if (prog == nullptr || subject == nullptr) {
    regreport(kRegexpNullParameter);
    return 0;
  }
  if (prog->magic != kMagic || prog->program == nullptr) {
    regreport(kRegexpCorruptedProgram);
    return 0;
  }
  ClearParts(prog);
  prog->exhausted = false;
  const std::size_t length = std::strlen(subject);
  if (length >= kNoPosition) {  // positions are 32-bit; no reply or line comes near
    prog->exhausted = true;
    return 0;
  }
  const ProgramView view = ViewProgram(prog->program);
  const ProgramHeader& header = *view.header;

  // A text every match contains rules out a subject without it at once.
  if (header.must_length > 0 &&
      memmem(subject, length, view.pool + header.must_offset, header.must_length) == nullptr) {
    return 0;
  }

  const auto* text = reinterpret_cast<const unsigned char*>(subject);
  Matcher matcher(view, text, static_cast<std::uint32_t>(length));
  std::uint64_t plain_budget =
      kPlainStepsBase + kPlainStepsPerByte * (length + 1) + 16ull * header.code_words;
  if (plain_budget > kRegexpMaxSteps) plain_budget = kRegexpMaxSteps;
  Outcome outcome = matcher.Search(false, plain_budget);
  if (outcome == Outcome::kGiveUp && matcher.steps() < kRegexpMaxSteps) {
    bool remember = matcher.TableBytes() <= kRegexpMaxMatchBytes / 2;
    outcome = matcher.Search(remember, kRegexpMaxSteps);
  }
  if (outcome == Outcome::kGiveUp) prog->exhausted = true;
  if (outcome != Outcome::kMatch) return 0;

  prog->startp[0] = subject + matcher.match_start();
  prog->endp[0] = subject + matcher.match_end();
  for (int part = 1; part < kRegexpParts; ++part) {
    std::uint32_t from = matcher.slot(2 * part);
    std::uint32_t to = matcher.slot(2 * part + 1);
    if (from == kNoPosition || to == kNoPosition) continue;
    prog->startp[part] = subject + from;
    prog->endp[part] = subject + to;
  }
  return 1;
}

}  // namespace camera_http
