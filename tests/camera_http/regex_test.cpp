// The regular-expression engine: syntax, first-match and greedy rules,
// groups, substitution, every compile error, and matching that neither
// overflows a gateway thread's stack nor runs away on hostile input.
#include "camera_http/regex.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/thread.h"
#include "support/sandbox.h"

namespace {

constexpr const char* kNone = nullptr;  // a group that took no part

struct Outcome {
  bool matched = false;
  bool exhausted = false;
  long start = -1;                                // offset of the whole match
  std::vector<std::optional<std::string>> parts;  // 0 to 9
};

Outcome Match(const char* expression, const std::string& subject) {
  Outcome out;
  const char* error = nullptr;
  camera_http::RegexpPtr prog(camera_http::regcompile(expression, &error));
  if (!prog) {
    ADD_FAILURE() << "'" << expression << "' does not compile: " << error;
    return out;
  }
  out.matched = camera_http::regexecute(prog.get(), subject.c_str()) == 1;
  out.exhausted = prog->exhausted;
  out.parts.resize(camera_http::kRegexpParts);
  if (!out.matched) return out;
  out.start = prog->startp[0] - subject.c_str();
  for (int i = 0; i < camera_http::kRegexpParts; ++i) {
    if (prog->startp[i] != nullptr) out.parts[i] = std::string(prog->startp[i], prog->endp[i]);
  }
  return out;
}

std::string Substitute(const char* expression, const std::string& subject, const char* source) {
  camera_http::RegexpPtr prog(camera_http::regcompile(expression));
  if (!prog || camera_http::regexecute(prog.get(), subject.c_str()) != 1) return "<no match>";
  char dest[256];
  if (camera_http::regsub(prog.get(), source, dest, sizeof dest) != 0) return "<failed>";
  return dest;
}

struct MatchCase {
  const char* expression;
  std::string subject;
  std::vector<const char*> parts;  // empty: no match; then part 0, 1, ...
  long start = -1;                 // expected offset of the match; -1: not checked
};

TEST(Regex, MatchesByTheClassicRules) {
  const std::vector<MatchCase> cases = {
      // Literals, dot, case.
      {"pin=([0-9]+) state=([a-z]+)", "io pin=4 state=on", {"pin=4 state=on", "4", "on"}},
      {"abc", "xxabcabc", {"abc"}, 2},
      {"A", "a", {}},
      {".", "\n", {"\n"}},
      {"\\.\\(a\\)\\|\\*", "x.(a)|*", {".(a)|*"}},
      {"\\n", "\n n", {"n"}, 2},
      {"", "", {""}, 0},
      {"a", "", {}},
      // Anchors hold at the ends of the whole text only.
      {"^b", "ab", {}},
      {"b$", "ba", {}},
      {"a$", "a\r\n", {}},
      {"$", "xyz", {""}, 3},
      {"a^b", "a^b", {}},
      {"x$|^y", "yx", {"y"}, 0},
      {"(^a)", "ba", {}},
      {"^?a", "ba", {"a"}, 1},
      // Sets: "]" and "-" at the edges, ranges, negation, bytes above 127.
      {"[]a]+", "xa]a", {"a]a"}},
      {"[a-]", "b-", {"-"}},
      {"[^]a]", "]ab", {"b"}},
      {"[^-]", "-x", {"x"}},
      {"[a-c-e]+", "xdcbez", {"dcbe"}},
      {"[]-a]+", "x^_`]a", {"^_`]a"}},
      {"[\\d]+", "x\\d", {"\\d"}},
      {"[\x80-\xff]+", "ab\xe9\xff!", {"\xe9\xff"}},
      {"[^a-z]", "abc\xe9", {"\xe9"}},
      {"[(|)*]+", "a(|)*b", {"(|)*"}},
      // Alternatives are tried in order; the first that lets the rest match wins.
      {"a|ab", "ab", {"a"}},
      {"(a|ab)(c|bcd)(d*)", "abcd", {"abcd", "a", "bcd", ""}},
      {"x*|b", "b", {""}, 0},
      {"a||b", "b", {""}, 0},
      {"(a)|b", "b", {"b", kNone}},
      // Greedy repetitions give back one byte at a time.
      {"a*ab", "aaab", {"aaab"}},
      {"(a*)(a*)", "aaa", {"aaa", "aaa", ""}},
      {"(a?)(a?)a", "aa", {"aa", "a", ""}},
      {"(.*)=(.*)", "a=b=c", {"a=b=c", "a=b", "c"}},
      {"(a*|x)b", "aab", {"aab", "aa"}},
      {"[0-9]+$", "ab12 34", {"34"}, 5},
      {"(ab)+", "ababx", {"abab", "ab"}},
      {"(a|ab)*c", "abac", {"abac", "a"}},
      // A repeated group keeps its last repetition; one that took no part has none.
      {"(a|b)*", "ab", {"ab", "b"}},
      {"((a)|b)*", "ab", {"ab", "b", "a"}},
      {"(a)?b", "b", {"b", kNone}},
      {"(x)*y", "y", {"y", kNone}},
      {"()", "abc", {"", ""}, 0},
      {"(((((((((x)))))))))", "x", {"x", "x", "x", "x", "x", "x", "x", "x", "x", "x"}},
      // The leftmost start wins, also when the search skips ahead.
      {"ab+c", "abd abbc abc", {"abbc"}, 4},
      {"[ab]+zz", "abz", {}},
      {"(b|c)d", "abcd", {"cd", "c"}, 2},
  };
  for (const MatchCase& c : cases) {
    SCOPED_TRACE(std::string("expression '") + c.expression + "' on '" + c.subject + "'");
    Outcome out = Match(c.expression, c.subject);
    ASSERT_EQ(out.matched, !c.parts.empty());
    EXPECT_FALSE(out.exhausted);
    if (!out.matched) continue;
    if (c.start >= 0) {
      EXPECT_EQ(out.start, c.start);
    }
    for (int i = 0; i < camera_http::kRegexpParts; ++i) {
      std::optional<std::string> want;
      if (i < static_cast<int>(c.parts.size()) && c.parts[i] != nullptr) want = c.parts[i];
      EXPECT_EQ(out.parts[i], want) << "part " << i;
    }
  }
}

TEST(Regex, CompileErrorsComeBackToTheCaller) {
  const std::string too_many_nested = "((((((((((x))))))))))";
  const std::string long_literal(40000, 'a');
  std::string many_sets;
  for (int i = 0; i < 1000; ++i) many_sets += "[a-z]";
  // Long lines of each kind of node stay within the program's size bound.
  auto fill = [](const std::string& unit) {
    std::string e;
    while (e.size() + unit.size() <= 511) e += unit;
    return e;
  };
  // Each error with expressions that give it; nullptr: near misses that compile.
  const std::vector<std::pair<const char*, std::vector<std::string>>> cases = {
      {camera_http::kRegexpUnmatchedParen, {"(", "a)", "((a)"}},
      {camera_http::kRegexpTooManyParens, {too_many_nested, "(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)"}},
      {camera_http::kRegexpUnmatchedBracket, {"[", "[]", "[^]", "[a-"}},
      {camera_http::kRegexpInvalidRange, {"[z-a]", "[a-c-b]"}},
      {camera_http::kRegexpFollowsNothing, {"*a", "a|*b", "(*"}},
      {camera_http::kRegexpNestedRepeat, {"a**", "a+?"}},
      {camera_http::kRegexpEmptyOperand, {"(a*)*", "^*", "(a|)*", "(a|b*)+"}},
      {camera_http::kRegexpTrailingBackslash, {"ab\\"}},
      {camera_http::kRegexpTooBig, {long_literal, many_sets}},
      {nullptr,
       {"(a*)?", "(a*b)*", "(a|b)+", "[]]", "[--/]", "a\\\\", "(|)", std::string(511, 'x'),
        fill("[a-z]"), fill("ab|") + "c", fill(".*")}},
  };
  for (const auto& [message, expressions] : cases) {
    for (const std::string& expression : expressions) {
      SCOPED_TRACE("expression '" + expression.substr(0, 40) + "'");
      camera_http::regreport("");
      const char* error = nullptr;
      camera_http::RegexpPtr prog(camera_http::regcompile(expression.c_str(), &error));
      EXPECT_EQ(prog == nullptr, message != nullptr) << (error ? error : "");
      EXPECT_STREQ(message ? error : nullptr, message);
      EXPECT_STREQ(message ? camera_http::reglasterror() : nullptr, message);
    }
  }
}

TEST(Regex, MisuseIsReportedNotFatal) {
  const char* error = nullptr;
  EXPECT_EQ(camera_http::regcompile(nullptr, &error), nullptr);
  EXPECT_STREQ(error, camera_http::kRegexpNullArgument);

  camera_http::RegexpPtr prog(camera_http::regcompile("(a)(b)?"));
  ASSERT_NE(prog, nullptr);
  char dest[16] = "unchanged";
  // Each call's result and the error it leaves.
  auto fails = [](int result, int expected, const char* error) {
    EXPECT_EQ(result, expected);
    EXPECT_STREQ(error ? camera_http::reglasterror() : nullptr, error);
  };
  fails(camera_http::regexecute(nullptr, "a"), 0, camera_http::kRegexpNullParameter);
  fails(camera_http::regexecute(prog.get(), nullptr), 0, camera_http::kRegexpNullParameter);
  fails(camera_http::regsub(nullptr, "&", dest, sizeof dest), -1,
        camera_http::kRegexpNullSubstitution);
  fails(camera_http::regsub(prog.get(), nullptr, dest, sizeof dest), -1, nullptr);
  fails(camera_http::regsub(prog.get(), "&", nullptr, sizeof dest), -1, nullptr);

  // Substituting before any match gives the template without its parts.
  EXPECT_EQ(camera_http::regsub(prog.get(), "[&\\1]", dest, sizeof dest), 0);
  EXPECT_STREQ(dest, "[]");

  // A regexp that is not (or no longer) one from regcompile.
  prog->magic ^= 1;
  fails(camera_http::regexecute(prog.get(), "ab"), 0, camera_http::kRegexpCorruptedProgram);
  fails(camera_http::regsub(prog.get(), "&", dest, sizeof dest), -1,
        camera_http::kRegexpDamagedForSubstitution);
  prog->magic ^= 1;

  const std::string subject = "xab";
  ASSERT_EQ(camera_http::regexecute(prog.get(), subject.c_str()), 1);
  std::swap(prog->startp[1], prog->endp[1]);
  fails(camera_http::regsub(prog.get(), "\\1", dest, sizeof dest), -1,
        camera_http::kRegexpDamagedMatch);
  camera_http::regrelease(nullptr);
}

TEST(Regex, SubstitutesPartsAndEscapes) {
  // Templates on "io pin=4 state=on", each result in brackets.
  std::string got;
  for (const char* source :
       {"\\1", "&", "\\0", "<\\1-\\2>", "\\x", "\\&", "\\\\1", "a\\", "\\3\\9", "%s %d"})
    got += "[" + Substitute("pin=([0-9]+) state=([a-z]+)", "io pin=4 state=on", source) + "]";
  EXPECT_EQ(got, "[4][pin=4 state=on][pin=4 state=on][<4-on>][\\x][&][\\1][a\\][][%s %d]");
  EXPECT_EQ(Substitute("(a)|(b)", "b", "[\\1][\\2]"), "[][b]");
  EXPECT_EQ(Substitute("(a|b)*", "ab", "\\1"), "b");
  // The destination's size bounds what is written, its NUL included.
  camera_http::RegexpPtr prog(camera_http::regcompile("([a-z]+)"));
  ASSERT_EQ(camera_http::regexecute(prog.get(), "abcdefgh"), 1);
  char dest[8] = "#######";
  EXPECT_TRUE(camera_http::regsub(prog.get(), "\\1-\\1", dest, 4) == 0 &&
              std::string(dest, 5) == std::string("abc\0#", 5));
  EXPECT_TRUE(camera_http::regsub(prog.get(), "xyz", dest, 1) == 0 && *dest == '\0');
}

// "no match", "exhausted" or "at <offset>: <part 1>|<part 2>|..." (- for none).
std::string Summary(const Outcome& out) {
  if (out.exhausted || !out.matched) return out.exhausted ? "exhausted" : "no match";
  std::string s = "at " + std::to_string(out.start) + ":";
  for (int i = 1; i < camera_http::kRegexpParts; ++i)
    s += (i > 1 ? "|" : "") + out.parts[i].value_or("-");
  return s;
}

TEST(Regex, NestedRepetitionsDecideInReasonableWork) {
  // Plain backtracking would try every way to split the a's; these must
  // still be decided, not given up.
  const std::string a5000(5000, 'a'), a60(60, 'a');
  EXPECT_EQ(Summary(Match("(a|aa)*c", a5000)), "no match");
  EXPECT_EQ(Summary(Match("(a|aa)*$", a5000 + "b" + a5000)), "at 5001:a|-|-|-|-|-|-|-|-");
  // The groups found after such a search are those of the first match.
  EXPECT_EQ(Summary(Match("(a|aa)*c|((a)+)b", "x" + a60 + "b")),
            "at 1:-|" + a60 + "|a|-|-|-|-|-|-");
  // A long run that every start position would scan again.
  EXPECT_EQ(Summary(Match("[a-z]+[0-9]", std::string(200000, 'q') + "!7")), "no match");
  // Truly pathological searches stop at the work bound.
  std::string expression;
  for (int i = 0; i < 300; ++i) expression += "a?";
  EXPECT_EQ(Summary(Match((expression + "[b]").c_str(), std::string(1 << 20, 'a'))), "exhausted");
}

// Threads with the gateway's 0x20000-byte stack: 1 MB lines match without
// overflowing it, and each thread keeps its own last error.
TEST(Regex, GatewayThreadsMatchLongLinesAndKeepTheirOwnErrors) {
  constexpr int kThreads = 4;
  // Each thread's outcome (shared: a thread may outlive a failed test).
  auto results = std::make_shared<std::array<std::string, kThreads + 1>>();
  auto finished = std::make_shared<std::atomic<int>>(0);
  ASSERT_TRUE(platform::StartThread([results, finished] {
    const std::size_t big = 1 << 20;
    std::string digits = "io pin=" + std::string(big, '7') + " state=on";
    std::string pairs;
    for (std::size_t i = 0; i < big / 2; ++i) pairs += "ab";
    std::string letters = std::string(big, 'a') + "x";
    // Where part 1 starts and its length, or why nothing matched.
    auto part = [](const char* expression, const std::string& subject) {
      camera_http::RegexpPtr prog(camera_http::regcompile(expression));
      if (camera_http::regexecute(prog.get(), subject.c_str()) != 1 || prog->exhausted)
        return std::string(prog->exhausted ? "exhausted" : "none");
      return std::to_string(prog->startp[1] - subject.c_str()) + "+" +
             std::to_string(prog->endp[1] - prog->startp[1]);
    };
    (*results)[kThreads] = part("pin=([0-9]+) state=([a-z]+)$", digits) + " " +
                           part("^(ab)*$", pairs) + " " + part("^(a|b)+$", pairs) + " " +
                           part("^(.*)x$", letters) + " " + part("[ab]*[c]", pairs);
    ++*finished;
  }));
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_TRUE(platform::StartThread([results, finished, t] {
      const char* want_error =
          t % 2 == 0 ? camera_http::kRegexpUnmatchedParen : camera_http::kRegexpUnmatchedBracket;
      (*results)[t] = "ok";
      for (int i = 0; i < 300; ++i) {
        std::string line = "box=" + std::to_string(t) + " pin=" + std::to_string(i) + " state=on";
        camera_http::RegexpPtr prog(
            camera_http::regcompile("box=([0-9]+) pin=([0-9]+) state=([a-z]+)"));
        char pin[64] = "";
        bool ok = prog && camera_http::regexecute(prog.get(), line.c_str()) == 1 &&
                  camera_http::regsub(prog.get(), "\\1/\\2", pin, sizeof pin) == 0 &&
                  std::string(pin) == std::to_string(t) + "/" + std::to_string(i) &&
                  camera_http::regcompile(t % 2 == 0 ? "(" : "[") == nullptr &&
                  camera_http::reglasterror() == std::string(want_error);
        if (!ok) {
          (*results)[t] = "round " + std::to_string(i);
          break;
        }
      }
      ++*finished;
    }));
  }
  ASSERT_TRUE(testing_support::WaitFor([&] { return *finished == kThreads + 1; }, 300));
  EXPECT_EQ(*results, (std::array<std::string, kThreads + 1>{
                          "ok", "ok", "ok", "ok", "7+1048576 1048574+2 1048575+1 0+1048576 none"}));
}

}  // namespace
