#pragma once

#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "cli/cli.hpp"

namespace nalto::testing {

// `nalto` parsed with these arguments, separated by spaces (the tests' paths hold none).
inline std::variant<cli::Command, int> parse_nalto(const std::string& line) {
  std::vector<std::string> args{"nalto"};
  std::istringstream words(line);
  for (std::string word; words >> word;) args.push_back(word);
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  return cli::parse_command_line(static_cast<int>(argv.size()), argv.data());
}

}  // namespace nalto::testing
