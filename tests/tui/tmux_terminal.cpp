#include "tmux_terminal.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace tui_test {

namespace fs = std::filesystem;

std::string ShellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'')
      out += "'\\''";
    else
      out.push_back(c);
  }
  return out + "'";
}

TmuxTerminal::TmuxTerminal(const fs::path& folder, const std::string& command, int width,
                           int height)
    : FSocket("udtbench-tui-test-" + std::to_string(::getpid())), FConfig(folder / "tmux.conf") {
  {
    std::ofstream conf(FConfig);
    conf << "set -g remain-on-exit on\n"
            "set -g default-terminal screen\n"
            "set -g status off\n"
            "set -g history-limit 0\n";
  }
  int status = -1;
  Tmux({"new-session", "-d", "-s", "tui", "-x", std::to_string(width), "-y",
        std::to_string(height), command},
       &status);
  FStarted = status == 0;
}

TmuxTerminal::~TmuxTerminal() { Tmux({"kill-server"}); }

std::string TmuxTerminal::Tmux(const std::vector<std::string>& args, int* status) const {
  std::string line = "tmux -u -L " + ShellQuote(FSocket) + " -f " + ShellQuote(FConfig.string());
  for (const auto& a : args) line += " " + ShellQuote(a);
  line += " 2>/dev/null";
  std::string out;
  FILE* p = ::popen(line.c_str(), "r");
  if (!p) {
    if (status) *status = -1;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int rc = ::pclose(p);
  if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

std::vector<std::string> TmuxTerminal::Rows() const {
  std::vector<std::string> rows;
  std::istringstream in(Tmux({"capture-pane", "-p", "-t", "tui"}));
  std::string row;
  while (std::getline(in, row)) rows.push_back(row.substr(0, row.find_last_not_of(' ') + 1));
  return rows;
}

std::string TmuxTerminal::Screen() const {
  std::string text;
  for (const auto& r : Rows()) text += r + "\n";
  return text;
}

void TmuxTerminal::Keys(const std::vector<std::string>& names) const {
  std::vector<std::string> args = {"send-keys", "-t", "tui"};
  args.insert(args.end(), names.begin(), names.end());
  Tmux(args);
}

void TmuxTerminal::Type(const std::string& text) const {
  Tmux({"send-keys", "-t", "tui", "-l", text});
}

bool TmuxTerminal::WaitForText(const std::string& text) const {
  return WaitUntil([&] { return Screen().find(text) != std::string::npos; });
}

bool TmuxTerminal::WaitForMatch(const std::string& pattern) const {
  const std::regex re(pattern);
  return WaitUntil([&] { return std::regex_search(Screen(), re); });
}

std::string TmuxTerminal::Format(const std::string& format) const {
  std::string out = Tmux({"display-message", "-p", "-t", "tui", format});
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

void TmuxTerminal::Resize(int width, int height) const {
  Tmux({"resize-window", "-t", "tui", "-x", std::to_string(width), "-y", std::to_string(height)});
}

}  // namespace tui_test
