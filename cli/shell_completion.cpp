#include "cli/shell_completion.h"

#include <map>
#include <set>

namespace torv2::cli {
namespace {

// What each option's value can be, as a shell case: the values themselves, or how to find them.
struct ValueWords {
  const char* bash;
  const char* zsh;
};
const std::map<std::string, ValueWords> kValues = {
    {"--progress",
     {R"x(compgen -W "auto tty lines json none" -- "$cur")x",
      "compadd -- auto tty lines json none"}},
    // The attached programmers' names, as `list` shows them first on each line.
    {"--device",
     {R"x(compgen -W "$(torv2-upgrader-cli list 2>/dev/null | cut -d' ' -f1)" -- "$cur")x",
      R"x(compadd -- ${(f)"$(torv2-upgrader-cli list 2>/dev/null | cut -d' ' -f1)"})x"}},
    {"--history", {R"x(compgen -f -- "$cur")x", "_files"}},
    {"--rules-dir", {R"x(compgen -d -- "$cur")x", "_files -/"}},
    {"--group", {R"x(compgen -g -- "$cur")x", "_groups"}},
};

std::string Join(const std::vector<std::string>& words) {
  std::string out;
  for (const std::string& w : words) out += (out.empty() ? "" : " ") + w;
  return out;
}

std::vector<std::string> Names(const std::vector<CompletedCommand>& commands) {
  std::vector<std::string> names;
  for (const CompletedCommand& c : commands) names.push_back(c.name);
  return names;
}

std::vector<std::string> OptionsOf(const CompletedCommand& command) {
  std::vector<std::string> names;
  for (const CompletedOption& o : command.options) names.push_back(o.name);
  return names;
}

// Every option that takes a value, once, whichever command takes it.
std::set<std::string> ValueOptions(const std::vector<CompletedCommand>& commands) {
  std::set<std::string> names;
  for (const CompletedCommand& c : commands) {
    for (const CompletedOption& o : c.options) {
      if (o.takesValue) names.insert(o.name);
    }
  }
  return names;
}

// Every option of every command, for the words before the command.
std::string AllOptions(const std::vector<CompletedCommand>& commands) {
  std::set<std::string> names{"--help", "--version"};
  for (const CompletedCommand& c : commands) {
    for (const CompletedOption& o : c.options) {
      if (o.name.starts_with("--")) names.insert(o.name);
    }
  }
  return Join({names.begin(), names.end()});
}

}  // namespace

std::string BashCompletion(const std::vector<CompletedCommand>& commands) {
  const std::string names = Join(Names(commands));
  std::string s =
      "# bash completion for torv2-upgrader-cli (made by torv2-upgrader-cli --completion bash)\n"
      "_torv2_upgrader_cli() {\n"
      "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
      "  local command='' i\n"
      "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
      "    case \" " +
      names +
      " \" in *\" ${COMP_WORDS[i]} \"*) command=${COMP_WORDS[i]}; "
      "break ;; esac\n"
      "  done\n"
      "  case $prev in\n";
  for (const std::string& option : ValueOptions(commands)) {
    const auto values = kValues.find(option);
    s += "    " + option + ") ";
    s += values == kValues.end() ? "COMPREPLY=()"
                                 : "COMPREPLY=($(" + std::string(values->second.bash) + "))";
    s += "; return ;;\n";
  }
  s += "  esac\n  local words\n  case $command in\n";
  for (const CompletedCommand& c : commands) {
    s += "    " + c.name + ") words='" + Join(OptionsOf(c)) + "' ;;\n";
  }
  s += "    *) words='" + names + " " + AllOptions(commands) +
       "' ;;\n"
       "  esac\n"
       "  COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
       "}\n"
       "complete -F _torv2_upgrader_cli torv2-upgrader-cli\n";
  return s;
}

std::string ZshCompletion(const std::vector<CompletedCommand>& commands) {
  const std::string names = Join(Names(commands));
  std::string s =
      "#compdef torv2-upgrader-cli\n"
      "# zsh completion for torv2-upgrader-cli (made by torv2-upgrader-cli --completion zsh)\n"
      "local -a commands=(" +
      names +
      ")\n"
      "local command='' w\n"
      "for w in ${words[2,CURRENT-1]}; do\n"
      "  if (( ${commands[(Ie)$w]} )); then command=$w; break; fi\n"
      "done\n"
      "case ${words[CURRENT-1]} in\n";
  for (const std::string& option : ValueOptions(commands)) {
    const auto values = kValues.find(option);
    s += "  " + option + ") " + (values == kValues.end() ? "" : std::string(values->second.zsh)) +
         "; return ;;\n";
  }
  s += "esac\ncase $command in\n";
  for (const CompletedCommand& c : commands) {
    s += "  " + c.name + ") compadd -- " + Join(OptionsOf(c)) + " ;;\n";
  }
  s += "  *) compadd -- " + names + " " + AllOptions(commands) + " ;;\nesac\n";
  return s;
}

}  // namespace torv2::cli
