#pragma once
// The command line and the checks made before the gateway starts its work.
#include <string>
#include <vector>

namespace app {

// The command line: "--version" and "--help" print to standard output and
// give exit code 0; anything else prints the usage to standard error and
// gives 2. -1 when there are no arguments and the gateway is to run.
int HandleArguments(int argc, const char* const* argv, const std::string& program_name);

// What is wrong with the places the gateway reads and writes at start (the
// registry file, the ini directory, "log" and "LOG" of the working
// directory): one line per problem, naming the path and what to do.
std::vector<std::string> CheckStartingPlaces(const std::string& program_name);

}  // namespace app
