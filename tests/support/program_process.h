// ProgramProcess: the real executable running as a process of its own, killed
// with the object if the test has not ended it.
#pragma once

#include <QProcess>
#include <filesystem>
#include <string>

namespace test_support {

class ProgramProcess {
 public:
  // The environment the tests start the program in: this one, offscreen.
  static QProcessEnvironment Offscreen();

  // Starts exe with env; by default its output goes to the test's.
  explicit ProgramProcess(const std::string& exe, const QProcessEnvironment& env = Offscreen(),
                          QProcess::ProcessChannelMode channels = QProcess::ForwardedChannels);
  ~ProgramProcess();
  ProgramProcess(const ProgramProcess&) = delete;
  ProgramProcess& operator=(const ProgramProcess&) = delete;

  QProcess& Process() { return FProcess; }
  // Waits until the program has started and its server has bound the default port.
  bool WaitListening();
  // The folder of the executable, where the program stores what it receives.
  const std::filesystem::path& Folder() const noexcept { return FFolder; }

 private:
  QProcess FProcess;
  std::filesystem::path FFolder;
};

}  // namespace test_support
