// "ocelam --hash-password" from a pipe: the hash it prints verifies the
// password read and no other; what it cannot hash is told, exit code 1.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>

#include "app/startup.h"
#include "status/password_hash.h"

namespace {

// The whole content of `file`, which is then closed.
std::string Drain(std::FILE* file) {
  std::string text;
  std::rewind(file);
  for (int c; (c = std::fgetc(file)) != EOF;) text.push_back(static_cast<char>(c));
  std::fclose(file);
  return text;
}

TEST(HashPassword, PrintsAHashOfTheFirstLineOnly) {
  const std::tuple<std::string, const char*, int, const char*> cases[] = {
      // standard input, the password it holds, exit code, error output
      {"s3cret pw\nsecond line\n", "s3cret pw", 0, ""},
      {"dos line\r\n", "dos line", 0, ""},
      {"no line end", "no line end", 0, ""},
      {"", nullptr, 1, "ocelam: no password given\n"},
      {"\n", nullptr, 1, "ocelam: no password given\n"},
      {std::string(1025, 'x') + "\n", nullptr, 1,
       "ocelam: the password is longer than 1024 bytes\n"},
  };
  for (const auto& [input, password, code, error] : cases) {
    SCOPED_TRACE(input.substr(0, 20));
    std::FILE *in = std::tmpfile(), *out = std::tmpfile(), *err = std::tmpfile();
    ASSERT_TRUE(in && out && err);
    std::fputs(input.c_str(), in);
    std::rewind(in);
    EXPECT_EQ(app::HashPassword(in, out, err, "ocelam", status::kPasswordHashIterationsMin), code);
    std::fclose(in);
    std::string text = Drain(out);
    EXPECT_EQ(Drain(err), error);
    if (password == nullptr) {
      EXPECT_EQ(text, "");
      continue;
    }
    ASSERT_TRUE(text.ends_with("\n")) << text;
    text.pop_back();
    platform::Result<status::PasswordHash> hash = status::PasswordHash::Parse(text);
    ASSERT_TRUE(hash) << text << " " << hash.status().reason();
    EXPECT_TRUE(hash.value().Verifies(password));
    EXPECT_FALSE(hash.value().Verifies(std::string(password) + " "));
    EXPECT_EQ(hash.value().salt.size(), status::kPasswordSaltBytes);
  }
}

}  // namespace
