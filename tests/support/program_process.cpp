#include "program_process.h"

#include <QJsonDocument>

#include "events.h"
#include "ports.h"
#include "program.h"

namespace test_support {

QProcessEnvironment ProgramProcess::Offscreen() {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "offscreen");
  return env;
}

ProgramProcess::ProgramProcess(const std::string& exe, const QProcessEnvironment& env,
                               QProcess::ProcessChannelMode channels, const QStringList& arguments)
    : FFolder(std::filesystem::path(exe).parent_path()) {
  FProcess.setProcessEnvironment(env);
  FProcess.setProcessChannelMode(channels);
  FProcess.start(QString::fromStdString(exe), arguments);
}

ProgramProcess::~ProgramProcess() {
  if (FProcess.state() != QProcess::NotRunning) {
    FProcess.kill();
    FProcess.waitForFinished(5000);
  }
}

bool ProgramProcess::WaitListening() {
  return FProcess.waitForStarted(static_cast<int>(kWaitBound.count())) &&
         WaitWithEvents([this] {
           return UdpPortBound(kDefaultPort) || FProcess.state() == QProcess::NotRunning;
         }) &&
         FProcess.state() != QProcess::NotRunning;
}

int ProgramProcess::Finish() {
  if (!FProcess.waitForFinished(static_cast<int>(kWaitBound.count()))) return -1;
  Collect();
  return FProcess.exitStatus() == QProcess::NormalExit ? FProcess.exitCode() : -1;
}

bool ProgramProcess::WaitForOutput(const QString& text) {
  return WaitWithEvents([&] { return Out().contains(text); });
}

void ProgramProcess::Collect() {
  FOut += QString::fromUtf8(FProcess.readAllStandardOutput());
  FErr += QString::fromUtf8(FProcess.readAllStandardError());
}

std::vector<QJsonObject> Events(ProgramProcess& Program, const QString& Event) {
  std::vector<QJsonObject> found;
  for (const QString& line : Program.Out().split('\n', Qt::SkipEmptyParts)) {
    const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
    if (o.value("event").toString() == Event) found.push_back(o);
  }
  return found;
}

std::string Sha256sum(const std::filesystem::path& File) {
  QProcess p;
  p.start("sha256sum", {QString::fromStdString(File.string())});
  if (!p.waitForFinished(static_cast<int>(kWaitBound.count()))) return "(sha256sum hung)";
  return p.readAllStandardOutput().left(64).toStdString();
}

}  // namespace test_support
