#pragma once
// The command line and the checks made before the gateway starts its work.
#include <cstdio>
#include <string>
#include <vector>

#include "status/password_hash.h"

namespace app {

// The command line: "--version" and "--help" print to standard output and
// give exit code 0, "--hash-password" is HashPassword on the standard
// streams; anything else prints the usage to standard error and gives 2.
// -1 when there are no arguments and the gateway is to run.
int HandleArguments(int argc, const char* const* argv, const std::string& program_name);

// "--hash-password": reads a password from `in` (asked twice, without echo,
// when it is a terminal; else its first line) and prints its hash for
// "StatusPasswordHash" to `out`: exit code 0. A missing or unreadable
// password, or two that differ, is told on `err`: exit code 1. The password
// is written nowhere and wiped from memory.
int HashPassword(std::FILE* in, std::FILE* out, std::FILE* err, const std::string& program_name,
                 int iterations = status::kPasswordHashIterations);

// What is wrong with the places the gateway reads and writes at start (the
// registry file, the ini directory, "log" and "LOG" of the working
// directory): one line per problem, naming the path and what to do.
std::vector<std::string> CheckStartingPlaces(const std::string& program_name);

}  // namespace app
