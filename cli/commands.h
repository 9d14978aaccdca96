// The command line: quenvory COMMAND [options] ARGS.
#pragma once

#include <string>
#include <vector>

namespace cli {

// Exit statuses.
constexpr int kSuccess = 0;
constexpr int kFailure = 1;
constexpr int kUsageError = 2;

// Runs one command; `args` are the program's arguments in UTF-8, its own
// name first. Returns the exit status.
int run(const std::vector<std::string>& args);

}  // namespace cli
