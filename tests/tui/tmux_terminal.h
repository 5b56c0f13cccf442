// TmuxTerminal: a real terminal for the terminal front-end's tests: a tmux
// server of the test's own, one window of a fixed size running one command,
// driven with send-keys and read with capture-pane.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "wait.h"

namespace tui_test {

using namespace test_support;

// A command running in a tmux window of Width x Height cells. The pane stays
// after the command ends, so the screen it leaves can still be read.
class TmuxTerminal {
 public:
  TmuxTerminal(const std::filesystem::path& folder, const std::string& command, int width,
               int height);
  // Ends the tmux server and whatever still runs in it.
  ~TmuxTerminal();
  TmuxTerminal(const TmuxTerminal&) = delete;
  TmuxTerminal& operator=(const TmuxTerminal&) = delete;

  bool Started() const noexcept { return FStarted; }
  // The visible screen, one string per row, without trailing blanks.
  std::vector<std::string> Rows() const;
  // The visible screen as one text, rows separated by line breaks.
  std::string Screen() const;
  // Presses keys by their tmux names ("F5", "Enter", "C-u"...).
  void Keys(const std::vector<std::string>& names) const;
  // Types text literally.
  void Type(const std::string& text) const;
  // Waits until the screen holds text; false after kWaitBound.
  bool WaitForText(const std::string& text) const;
  // Waits until the screen matches the regular expression (searched).
  bool WaitForMatch(const std::string& pattern) const;
  // A tmux format for the window's pane, as tmux prints it ("#{alternate_on}").
  std::string Format(const std::string& format) const;
  // Resizes the window.
  void Resize(int width, int height) const;

 private:
  // Runs tmux with the arguments (each quoted for the shell); its standard output.
  std::string Tmux(const std::vector<std::string>& args, int* status = nullptr) const;

  std::string FSocket;
  std::filesystem::path FConfig;
  bool FStarted = false;
};

// Text quoted for sh.
std::string ShellQuote(const std::string& s);

}  // namespace tui_test
