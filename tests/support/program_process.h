// ProgramProcess: the real executable running as a process of its own, killed
// with the object if the test has not ended it.
#pragma once

#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <filesystem>
#include <string>
#include <vector>

namespace test_support {

class ProgramProcess {
 public:
  // The environment the tests start the program in: this one, offscreen.
  static QProcessEnvironment Offscreen();

  // Starts exe with env and arguments; by default its output goes to the test's.
  explicit ProgramProcess(const std::string& exe, const QProcessEnvironment& env = Offscreen(),
                          QProcess::ProcessChannelMode channels = QProcess::ForwardedChannels,
                          const QStringList& arguments = {});
  // Starts exe offscreen with arguments, keeping its output for Out and Err.
  ProgramProcess(const std::string& exe, const QStringList& arguments)
      : ProgramProcess(exe, Offscreen(), QProcess::SeparateChannels, arguments) {}
  ~ProgramProcess();
  ProgramProcess(const ProgramProcess&) = delete;
  ProgramProcess& operator=(const ProgramProcess&) = delete;

  QProcess& Process() { return FProcess; }
  // Waits until the program has started and its server has bound the default port.
  bool WaitListening();
  // The folder of the executable, where the program stores what it receives.
  const std::filesystem::path& Folder() const noexcept { return FFolder; }

  // Waits, at most kWaitBound, for the program to end; its exit code, or -1
  // when it did not end or crashed.
  int Finish();
  // Waits, at most kWaitBound, until its standard output contains text.
  bool WaitForOutput(const QString& text);
  // What it wrote to standard output and error so far (with separate channels).
  const QString& Out() { return Collect(), FOut; }
  const QString& Err() { return Collect(), FErr; }

 private:
  void Collect();
  QProcess FProcess;
  QString FOut, FErr;
  std::filesystem::path FFolder;
};

// The JSON objects of a program's standard output whose "event" is Event.
std::vector<QJsonObject> Events(ProgramProcess& Program, const QString& Event);
// The SHA-256 of a file as sha256sum prints it.
std::string Sha256sum(const std::filesystem::path& File);

}  // namespace test_support
