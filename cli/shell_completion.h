#pragma once
// Shell completion for the command line, made from its own commands and options so that it
// never falls behind them: `torv2-upgrader-cli --completion bash` (or zsh) prints the script the
// package installs.

#include <string>
#include <vector>

namespace torv2::cli {

struct CompletedOption {
  std::string name;  // "--device", "-v"
  bool takesValue = false;
};

struct CompletedCommand {
  std::string name;
  std::vector<CompletedOption> options;
};

// The script for bash (a function for `complete -F`), or for zsh (a #compdef file).
std::string BashCompletion(const std::vector<CompletedCommand>& commands);
std::string ZshCompletion(const std::vector<CompletedCommand>& commands);

}  // namespace torv2::cli
