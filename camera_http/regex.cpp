// Compilation, substitution and release of regular expressions; matching is
// in regex_match.cpp.
//
// An expression is parsed into a small tree (checking the errors in the
// order a reader meets them from the left), the tree is turned into the
// instructions of regex_program.h, and a few facts that speed up the search
// (anchoring, possible first bytes, a literal prefix, a literal every match
// contains) are taken from the tree.
#include "camera_http/regex.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "camera_http/regex_program.h"

namespace camera_http {

using namespace regex_internal;

namespace {

thread_local const char* last_error = "";

// Records `message` (through regreport) and hands it to the compile caller.
regexp* CompileFailed(const char* message, const char** error) {
  regreport(message);
  if (error != nullptr) *error = message;
  return nullptr;
}

// ---------------------------------------------------------------- the tree

enum class NodeKind : std::uint8_t {
  kEmpty,
  kChar,
  kAny,
  kSet,
  kBol,
  kEol,
  kGroup,
  kConcat,
  kAlt,
  kRepeat
};

struct Node {
  NodeKind kind = NodeKind::kEmpty;
  int value = 0;  // byte, set index or group number
  int min = 0;    // repetition bounds; max 0 means no limit
  int max = 0;
  std::vector<int> kids;  // concatenation and alternation members; group body; repeated operand
};

using SetMap = std::array<std::uint32_t, kSetWordsPerMap>;

struct Tree {
  std::vector<Node> nodes;
  std::vector<SetMap> sets;
  int root = -1;

  int Add(NodeKind kind, int value = 0) {
    nodes.push_back(Node{kind, value, 0, 0, {}});
    return static_cast<int>(nodes.size()) - 1;
  }
};

// ---------------------------------------------------------------- parsing

bool IsRepeatSign(unsigned char c) { return c == '*' || c == '+' || c == '?'; }

// Recursive descent over the expression. Recursion only follows parentheses,
// and there are at most nine groups, so its depth is bounded whatever the
// expression.
class Parser {
 public:
  Parser(const char* expression, Tree& tree)
      : text_(reinterpret_cast<const unsigned char*>(expression)), tree_(tree) {}

  // Fills the tree; returns null or the first error met from the left.
  const char* Parse() {
    bool width = false;
    tree_.root = Alternation(false, &width);
    return error_;
  }

 private:
  // Alternatives up to the end of the expression or of the group. A group
  // has width (always consumes a byte) only if every alternative has.
  int Alternation(bool in_group, bool* has_width) {
    int group = 0;
    if (in_group) {
      if (groups_ >= kRegexpParts) return Fail(kRegexpTooManyParens);
      group = groups_++;
    }
    int alt = tree_.Add(NodeKind::kAlt);
    bool all_width = true;
    for (;;) {
      bool width = false;
      int branch = Branch(&width);
      if (branch < 0) return -1;
      tree_.nodes[alt].kids.push_back(branch);
      all_width = all_width && width;
      if (*text_ != '|') break;
      ++text_;
    }
    *has_width = all_width;
    int body = alt;
    if (tree_.nodes[alt].kids.size() == 1) body = tree_.nodes[alt].kids[0];
    if (in_group) {
      if (*text_ != ')') return Fail(kRegexpUnmatchedParen);
      ++text_;
      int node = tree_.Add(NodeKind::kGroup, group);
      tree_.nodes[node].kids.push_back(body);
      return node;
    }
    if (*text_ != '\0') return Fail(*text_ == ')' ? kRegexpUnmatchedParen : kRegexpJunkOnEnd);
    return body;
  }

  // A sequence of pieces; it has width if any piece has.
  int Branch(bool* has_width) {
    int concat = tree_.Add(NodeKind::kConcat);
    *has_width = false;
    while (*text_ != '\0' && *text_ != '|' && *text_ != ')') {
      bool width = false;
      int piece = Piece(&width);
      if (piece < 0) return -1;
      tree_.nodes[concat].kids.push_back(piece);
      *has_width = *has_width || width;
    }
    if (tree_.nodes[concat].kids.empty()) return tree_.Add(NodeKind::kEmpty);
    if (tree_.nodes[concat].kids.size() == 1) return tree_.nodes[concat].kids[0];
    return concat;
  }

  // An atom with an optional repetition sign.
  int Piece(bool* has_width) {
    bool width = false;
    int atom = Atom(&width);
    if (atom < 0) return -1;
    unsigned char op = *text_;
    if (!IsRepeatSign(op)) {
      *has_width = width;
      return atom;
    }
    // A loop over something that can match nothing would never advance.
    if (!width && op != '?') return Fail(kRegexpEmptyOperand);
    ++text_;
    int node = tree_.Add(NodeKind::kRepeat);
    tree_.nodes[node].min = op == '+' ? 1 : 0;
    tree_.nodes[node].max = op == '?' ? 1 : 0;
    tree_.nodes[node].kids.push_back(atom);
    *has_width = op == '+';
    if (IsRepeatSign(*text_)) return Fail(kRegexpNestedRepeat);
    return node;
  }

  int Atom(bool* has_width) {
    unsigned char c = *text_++;
    switch (c) {
      case '^':
        *has_width = false;
        return tree_.Add(NodeKind::kBol);
      case '$':
        *has_width = false;
        return tree_.Add(NodeKind::kEol);
      case '.':
        *has_width = true;
        return tree_.Add(NodeKind::kAny);
      case '[':
        *has_width = true;
        return Set();
      case '(':
        return Alternation(true, has_width);
      case '\0':
      case '|':
      case ')':
        // Branch stops before these; reaching here means the parser is broken.
        return Fail(kRegexpInternalUrp);
      case '?':
      case '+':
      case '*':
        return Fail(kRegexpFollowsNothing);
      case '\\':
        if (*text_ == '\0') return Fail(kRegexpTrailingBackslash);
        *has_width = true;
        return tree_.Add(NodeKind::kChar, *text_++);
      default:
        *has_width = true;
        return tree_.Add(NodeKind::kChar, c);
    }
  }

  // The bracket set after "[". A "]" or "-" first (after an optional "^") is
  // a member; "x-y" adds the bytes x to y, where x is the byte written just
  // before the "-" (so "a-c-e" runs on from c); a "-" before "]" is a member.
  int Set() {
    bool negated = false;
    if (*text_ == '^') {
      negated = true;
      ++text_;
    }
    SetMap map{};
    if (*text_ == ']' || *text_ == '-') AddToSet(map.data(), *text_++);
    while (*text_ != '\0' && *text_ != ']') {
      if (*text_ == '-') {
        ++text_;
        if (*text_ == ']' || *text_ == '\0') {
          AddToSet(map.data(), '-');
        } else {
          unsigned first = text_[-2];
          unsigned last = *text_++;
          if (first > last) return Fail(kRegexpInvalidRange);
          for (unsigned b = first; b <= last; ++b)
            AddToSet(map.data(), static_cast<unsigned char>(b));
        }
      } else {
        AddToSet(map.data(), *text_++);
      }
    }
    if (*text_ != ']') return Fail(kRegexpUnmatchedBracket);
    ++text_;
    if (negated) {
      for (std::uint32_t& word : map) word = ~word;
    }
    map[0] &= ~1u;  // the terminating NUL is never a member
    tree_.sets.push_back(map);
    return tree_.Add(NodeKind::kSet, static_cast<int>(tree_.sets.size()) - 1);
  }

  int Fail(const char* message) {
    if (error_ == nullptr) error_ = message;
    return -1;
  }

  const unsigned char* text_;
  Tree& tree_;
  int groups_ = 1;
  const char* error_ = nullptr;
};

// ---------------------------------------------------------------- code

class CodeGen {
 public:
  explicit CodeGen(const Tree& tree) : tree_(tree) {}

  void Generate() {
    Emit(tree_.root);
    code_.push_back(kOpMatch);
    SetFollowBytes();
  }

  std::vector<std::int32_t> code_;
  std::string pool_;
  std::uint32_t points_ = 0;

 private:
  void Emit(int index) {
    const Node& node = tree_.nodes[index];
    switch (node.kind) {
      case NodeKind::kEmpty:
        break;
      case NodeKind::kChar:
        code_.insert(code_.end(), {kOpChar, node.value});
        break;
      case NodeKind::kAny:
        code_.push_back(kOpAny);
        break;
      case NodeKind::kSet:
        code_.insert(code_.end(), {kOpSet, node.value});
        break;
      case NodeKind::kBol:
        code_.push_back(kOpBol);
        break;
      case NodeKind::kEol:
        code_.push_back(kOpEol);
        break;
      case NodeKind::kGroup:
        code_.insert(code_.end(), {kOpSave, 2 * node.value});
        Emit(node.kids[0]);
        code_.insert(code_.end(), {kOpSave, 2 * node.value + 1});
        break;
      case NodeKind::kConcat:
        EmitConcat(node);
        break;
      case NodeKind::kAlt:
        EmitAlternation(node);
        break;
      case NodeKind::kRepeat:
        EmitRepeat(node);
        break;
    }
  }

  // Runs of plain bytes become one string comparison.
  void EmitConcat(const Node& node) {
    std::size_t i = 0;
    while (i < node.kids.size()) {
      std::size_t run = i;
      while (run < node.kids.size() && tree_.nodes[node.kids[run]].kind == NodeKind::kChar) ++run;
      if (run - i >= 2) {
        code_.insert(code_.end(), {kOpString, static_cast<std::int32_t>(pool_.size()),
                                   static_cast<std::int32_t>(run - i)});
        for (std::size_t k = i; k < run; ++k)
          pool_.push_back(static_cast<char>(tree_.nodes[node.kids[k]].value));
        i = run;
      } else {
        Emit(node.kids[i++]);
      }
    }
  }

  // SPLIT next; first; JUMP end; next: SPLIT ...; last; end:
  void EmitAlternation(const Node& node) {
    std::vector<std::size_t> jumps;
    for (std::size_t i = 0; i < node.kids.size(); ++i) {
      std::size_t split = 0;
      bool last = i + 1 == node.kids.size();
      if (!last) {
        split = code_.size();
        code_.insert(code_.end(), {kOpSplit, 0, NewPoint()});
      }
      Emit(node.kids[i]);
      if (!last) {
        jumps.push_back(code_.size());
        code_.insert(code_.end(), {kOpJump, 0});
        code_[split + 1] = Here();
      }
    }
    for (std::size_t jump : jumps) code_[jump + 1] = Here();
  }

  void EmitRepeat(const Node& node) {
    const Node& operand = tree_.nodes[node.kids[0]];
    if (operand.kind == NodeKind::kChar || operand.kind == NodeKind::kAny ||
        operand.kind == NodeKind::kSet) {
      std::int32_t kind = operand.kind == NodeKind::kChar  ? kRepeatChar
                          : operand.kind == NodeKind::kAny ? kRepeatAny
                                                           : kRepeatSet;
      code_.insert(code_.end(),
                   {kOpRepeat, node.min, node.max, kind, operand.value, NewPoint(), -1});
      return;
    }
    if (node.max == 1) {  // x?: SPLIT end; x; end:
      std::size_t split = code_.size();
      code_.insert(code_.end(), {kOpSplit, 0, NewPoint()});
      Emit(node.kids[0]);
      code_[split + 1] = Here();
    } else if (node.min == 0) {  // x*: loop: SPLIT end; x; JUMP loop; end:
      std::size_t loop = code_.size();
      code_.insert(code_.end(), {kOpSplit, 0, NewPoint()});
      Emit(node.kids[0]);
      code_.insert(code_.end(), {kOpJump, static_cast<std::int32_t>(loop)});
      code_[loop + 1] = Here();
    } else {  // x+: loop: x; SPLITBACK loop
      std::int32_t loop = Here();
      Emit(node.kids[0]);
      code_.insert(code_.end(), {kOpSplitBack, loop, NewPoint()});
    }
  }

  // A repetition of single bytes that is followed by a fixed byte only needs
  // to stop where that byte stands; record it so the matcher can skip the
  // other places. Saves do not consume, and jumps only move, so look past them.
  void SetFollowBytes() {
    for (std::size_t pc = 0; pc < code_.size(); pc += Width(code_[pc])) {
      if (code_[pc] != kOpRepeat) continue;
      std::size_t next = pc + kRepeatWords;
      for (int hops = 0; hops < 16; ++hops) {
        if (code_[next] == kOpSave) {
          next += kSaveWords;
        } else if (code_[next] == kOpJump) {
          next = static_cast<std::size_t>(code_[next + 1]);
        } else {
          break;
        }
      }
      if (code_[next] == kOpChar) code_[pc + 6] = code_[next + 1];
      if (code_[next] == kOpString)
        code_[pc + 6] = static_cast<unsigned char>(pool_[code_[next + 1]]);
    }
  }

  static int Width(std::int32_t op) {
    switch (op) {
      case kOpChar:
        return kCharWords;
      case kOpString:
        return kStringWords;
      case kOpSet:
        return kSetWords;
      case kOpSave:
        return kSaveWords;
      case kOpSplit:
      case kOpSplitBack:
        return kSplitWords;
      case kOpJump:
        return kJumpWords;
      case kOpRepeat:
        return kRepeatWords;
      default:
        return 1;
    }
  }

  std::int32_t Here() const { return static_cast<std::int32_t>(code_.size()); }
  std::int32_t NewPoint() { return static_cast<std::int32_t>(points_++); }

  const Tree& tree_;
};

// ---------------------------------------------------------------- search facts

class Analysis {
 public:
  explicit Analysis(const Tree& tree) : tree_(tree) {}

  // True when every match must begin at the start of the subject.
  bool Anchored(int index) const {
    const Node& node = tree_.nodes[index];
    switch (node.kind) {
      case NodeKind::kBol:
        return true;
      case NodeKind::kGroup:
        return Anchored(node.kids[0]);
      case NodeKind::kConcat:
        return Anchored(node.kids[0]);
      case NodeKind::kAlt:
        for (int kid : node.kids) {
          if (!Anchored(kid)) return false;
        }
        return true;
      default:
        return false;
    }
  }

  // Adds to `first` the bytes a match of the node can begin with; returns
  // true when the node can match while consuming nothing (anchors count as
  // such, so they never narrow the candidates).
  bool First(int index, SetMap& first) const {
    const Node& node = tree_.nodes[index];
    switch (node.kind) {
      case NodeKind::kEmpty:
      case NodeKind::kBol:
      case NodeKind::kEol:
        return true;
      case NodeKind::kChar:
        AddToSet(first.data(), static_cast<unsigned char>(node.value));
        return false;
      case NodeKind::kAny:
        for (std::uint32_t& word : first) word = ~0u;
        return false;
      case NodeKind::kSet:
        for (int w = 0; w < kSetWordsPerMap; ++w) first[w] |= tree_.sets[node.value][w];
        return false;
      case NodeKind::kGroup:
        return First(node.kids[0], first);
      case NodeKind::kConcat:
        for (int kid : node.kids) {
          if (!First(kid, first)) return false;
        }
        return true;
      case NodeKind::kAlt: {
        bool nullable = false;
        for (int kid : node.kids) nullable = First(kid, first) || nullable;
        return nullable;
      }
      case NodeKind::kRepeat:
        return First(node.kids[0], first) || node.min == 0;
    }
    return true;
  }

  // Appends the literal text every match of the node starts with; returns
  // true when the node is exactly that text (so what follows may continue it).
  bool Prefix(int index, std::string& prefix) const {
    const Node& node = tree_.nodes[index];
    switch (node.kind) {
      case NodeKind::kEmpty:
        return true;
      case NodeKind::kChar:
        prefix.push_back(static_cast<char>(node.value));
        return true;
      case NodeKind::kGroup:
        return Prefix(node.kids[0], prefix);
      case NodeKind::kConcat:
        for (int kid : node.kids) {
          if (!Prefix(kid, prefix)) return false;
        }
        return true;
      case NodeKind::kRepeat:
        if (node.min == 1) Prefix(node.kids[0], prefix);
        return false;
      default:
        return false;
    }
  }

  // The longest run of plain bytes that every match contains: runs in the
  // top-level sequence, looking into groups that are plain sequences.
  void Must(int index, std::string& run, std::string& best) const {
    const Node& node = tree_.nodes[index];
    switch (node.kind) {
      case NodeKind::kEmpty:
        return;
      case NodeKind::kChar:
        run.push_back(static_cast<char>(node.value));
        if (run.size() > best.size()) best = run;
        return;
      case NodeKind::kGroup:
        Must(node.kids[0], run, best);
        return;
      case NodeKind::kConcat:
        for (int kid : node.kids) Must(kid, run, best);
        return;
      case NodeKind::kBol:
      case NodeKind::kEol:
        return;  // consume nothing, so the run goes on around them
      default:
        run.clear();
        return;
    }
  }

 private:
  const Tree& tree_;
};

// ---------------------------------------------------------------- assembly

// Builds the compiled block from a parsed tree; null when it is too large
// (`*error` set) or memory ran out.
void* Assemble(const Tree& tree, std::uint32_t* block_bytes, const char** error) {
  CodeGen gen(tree);
  gen.Generate();
  Analysis analysis(tree);

  ProgramHeader header{};
  header.code_words = static_cast<std::uint32_t>(gen.code_.size());
  header.set_count = static_cast<std::uint32_t>(tree.sets.size());
  header.points = gen.points_;
  header.anchored = analysis.Anchored(tree.root) ? 1 : 0;
  SetMap first{};
  header.nullable = analysis.First(tree.root, first) ? 1 : 0;
  header.first_all = 1;
  for (int w = 0; w < kSetWordsPerMap; ++w) {
    header.first[w] = first[w];
    // The NUL bit does not count: no subject byte is NUL.
    if ((w == 0 ? first[w] | 1u : first[w]) != ~0u) header.first_all = 0;
  }
  int count = 0;
  for (int b = 1; b < 256; ++b) {
    if (!InSet(first.data(), static_cast<unsigned char>(b))) continue;
    if (count < kFewFirstBytes) header.first_bytes[count] = static_cast<std::uint8_t>(b);
    ++count;
  }
  header.first_count = count <= kFewFirstBytes ? static_cast<std::uint8_t>(count) : 0;

  std::string pool = gen.pool_;
  std::string prefix;
  analysis.Prefix(tree.root, prefix);
  header.prefix_offset = static_cast<std::uint32_t>(pool.size());
  header.prefix_length = static_cast<std::uint32_t>(prefix.size());
  pool += prefix;
  std::string run, must;
  analysis.Must(tree.root, run, must);
  // With a prefix the search already jumps from one candidate to the next;
  // a second scan for the required text would only cost time.
  if (!prefix.empty()) must.clear();
  header.must_offset = static_cast<std::uint32_t>(pool.size());
  header.must_length = static_cast<std::uint32_t>(must.size());
  pool += must;
  header.pool_bytes = static_cast<std::uint32_t>(pool.size());

  std::size_t bytes = sizeof(ProgramHeader) + gen.code_.size() * sizeof(std::int32_t) +
                      tree.sets.size() * sizeof(SetMap) + pool.size();
  if (bytes >= kRegexpMaxProgramBytes) {
    *error = kRegexpTooBig;
    return nullptr;
  }
  auto* block = static_cast<unsigned char*>(std::malloc(bytes));
  if (block == nullptr) {
    *error = kRegexpOutOfSpace;
    return nullptr;
  }
  unsigned char* at = block;
  std::memcpy(at, &header, sizeof header);
  at += sizeof header;
  std::memcpy(at, gen.code_.data(), gen.code_.size() * sizeof(std::int32_t));
  at += gen.code_.size() * sizeof(std::int32_t);
  for (const SetMap& map : tree.sets) {
    std::memcpy(at, map.data(), sizeof map);
    at += sizeof map;
  }
  if (!pool.empty()) std::memcpy(at, pool.data(), pool.size());
  *block_bytes = static_cast<std::uint32_t>(bytes);
  return block;
}

// Copies `length` bytes of `text` into dest as far as room is left.
void Append(char*& dest, char* end, const char* text, std::size_t length) {
  std::size_t room = static_cast<std::size_t>(end - dest);
  if (length > room) length = room;
  std::memcpy(dest, text, length);
  dest += length;
}

}  // namespace

regexp* regcompile(const char* expression, const char** error) {
  if (expression == nullptr) return CompileFailed(kRegexpNullArgument, error);
  // The tree and the code are built in ordinary containers; running out of
  // memory there is the same failure as for the compiled block itself.
  try {
    Tree tree;
    tree.nodes.reserve(std::strlen(expression) + 2);
    Parser parser(expression, tree);
    if (const char* message = parser.Parse()) return CompileFailed(message, error);
    const char* message = nullptr;
    std::uint32_t bytes = 0;
    void* block = Assemble(tree, &bytes, &message);
    if (block == nullptr) return CompileFailed(message, error);
    auto* prog = static_cast<regexp*>(std::malloc(sizeof(regexp)));
    if (prog == nullptr) {
      std::free(block);
      return CompileFailed(kRegexpOutOfSpace, error);
    }
    for (int i = 0; i < kRegexpParts; ++i) prog->startp[i] = prog->endp[i] = nullptr;
    prog->exhausted = false;
    prog->magic = kMagic;
    prog->program_bytes = bytes;
    prog->program = block;
    return prog;
  } catch (const std::bad_alloc&) {
    return CompileFailed(kRegexpOutOfSpace, error);
  }
}

int regsub(const regexp* prog, const char* source, char* dest, std::size_t capacity) {
  if (prog == nullptr || source == nullptr || dest == nullptr || capacity == 0) {
    regreport(kRegexpNullSubstitution);
    return -1;
  }
  *dest = '\0';
  if (prog->magic != kMagic) {
    regreport(kRegexpDamagedForSubstitution);
    return -1;
  }
  char* out = dest;
  char* end = dest + capacity - 1;
  for (const char* src = source; *src != '\0';) {
    char c = *src++;
    int part = -1;
    if (c == '&') {
      part = 0;
    } else if (c == '\\' && *src >= '0' && *src <= '9') {
      part = *src++ - '0';
    }
    if (part < 0) {
      // A backslash protects "&" and itself; before anything else it stays.
      if (c == '\\' && (*src == '\\' || *src == '&')) c = *src++;
      if (out < end) *out++ = c;
      continue;
    }
    const char* from = prog->startp[part];
    const char* to = prog->endp[part];
    if (from == nullptr || to == nullptr) continue;  // the group took no part
    if (to < from) {
      *out = '\0';
      regreport(kRegexpDamagedMatch);
      return -1;
    }
    Append(out, end, from, static_cast<std::size_t>(to - from));
  }
  *out = '\0';
  return 0;
}

void regrelease(regexp* prog) {
  if (prog == nullptr) return;
  prog->magic = 0;
  std::free(const_cast<void*>(prog->program));
  std::free(prog);
}

void regreport(const char* message) { last_error = message != nullptr ? message : ""; }

const char* reglasterror() { return last_error; }

}  // namespace camera_http
