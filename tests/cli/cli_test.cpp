// udtbench-cli, udtbench and udtbench-tui as real processes on loopback ports
// of their own: files and messages end to end, exit codes, the chosen address
// and folder of the window.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <filesystem>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bench_options.h"
#include "events.h"
#include "files.h"
#include "ports.h"
#include "wait.h"

namespace cli_test {
namespace {

using namespace test_support;

// A program of the bench started for one test; killed if still running at the end.
class Program {
 public:
  Program(const char* Exe, const QStringList& Arguments) {
    FProcess.setProgram(QString::fromLatin1(Exe));
    FProcess.setArguments(Arguments);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    FProcess.setProcessEnvironment(env);
    FProcess.start();
  }
  ~Program() {
    if (FProcess.state() != QProcess::NotRunning) {
      FProcess.kill();
      FProcess.waitForFinished(5000);
    }
  }
  // Waits, at most kWaitBound, for the program to end; its exit code, or -1.
  int Finish() {
    if (!FProcess.waitForFinished(static_cast<int>(kWaitBound.count()))) return -1;
    Collect();
    return FProcess.exitStatus() == QProcess::NormalExit ? FProcess.exitCode() : -1;
  }
  // Waits, at most kWaitBound, until a line of standard output contains Text.
  bool WaitForOutput(const QString& Text) {
    return WaitWithEvents([&] {
      Collect();
      return FOut.contains(Text);
    });
  }
  void Terminate() { FProcess.terminate(); }
  QString Out() const { return FOut; }
  QString Err() const { return FErr; }
  // The JSON objects of standard output whose "event" is Event.
  std::vector<QJsonObject> Events(const QString& Event) const {
    std::vector<QJsonObject> found;
    for (const QString& line : FOut.split('\n', Qt::SkipEmptyParts)) {
      const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
      if (o.value("event").toString() == Event) found.push_back(o);
    }
    return found;
  }

 private:
  void Collect() {
    FOut += QString::fromUtf8(FProcess.readAllStandardOutput());
    FErr += QString::fromUtf8(FProcess.readAllStandardError());
  }
  QProcess FProcess;
  QString FOut, FErr;
};

QString Address(uint16_t Port) { return QStringLiteral("127.0.0.1:%1").arg(Port); }

// True once something listens for UDP on 127.0.0.1:Port.
bool Bound(uint16_t Port) { return !ListenProblem({"127.0.0.1", Port}).empty(); }

std::string Sha256sum(const std::filesystem::path& File) {
  QProcess p;
  p.start("sha256sum", {QString::fromStdString(File.string())});
  if (!p.waitForFinished(static_cast<int>(kWaitBound.count()))) return "(sha256sum hung)";
  return p.readAllStandardOutput().left(64).toStdString();
}

TEST(CommandLineBench, ServeAndSendMoveFilesWhoseSha256MatchesAndARefusedFileFails) {
  TempFolder in, out;
  const uint16_t port = FreeUdpPort();
  Program serve(UDTBENCH_CLI_EXE, {"serve", "--listen", Address(port), "--folder",
                                   QString::fromStdString(in.Path().string()), "--json"});
  ASSERT_TRUE(serve.WaitForOutput("\"listening\"")) << serve.Err().toStdString();

  const auto file = out.Path() / "sample.bin";
  WriteFile(file, 1500000, 7);
  Program send(UDTBENCH_CLI_EXE,
               {"send", Address(port), QString::fromStdString(file.string()), "--json"});
  ASSERT_EQ(send.Finish(), ecSuccess) << send.Err().toStdString();
  const auto sent = send.Events("sent");
  ASSERT_EQ(sent.size(), 1u) << send.Out().toStdString();
  const std::string expected = Sha256sum(file);
  EXPECT_EQ(sent[0].value("sha256").toString().toStdString(), expected);
  EXPECT_EQ(sent[0].value("bytes").toInteger(), 1500000);
  EXPECT_TRUE(sent[0].value("rtt_ms").isDouble()) << send.Out().toStdString();
  EXPECT_EQ(Sha256sum(in.Path() / "sample.bin"), expected);
  ASSERT_TRUE(serve.WaitForOutput("\"event\":\"file\""));

  // A name the server refuses (a control character): one line, exit code 1.
  const auto refused = out.Path() / "bad\x01name";
  WriteFile(refused, 1000);
  Program sendRefused(UDTBENCH_CLI_EXE,
                      {"send", Address(port), QString::fromStdString(refused.string())});
  EXPECT_EQ(sendRefused.Finish(), ecFailed);
  EXPECT_TRUE(sendRefused.Err().contains("was refused")) << sendRefused.Err().toStdString();
  EXPECT_EQ(sendRefused.Err().count('\n'), 1) << sendRefused.Err().toStdString();

  serve.Terminate();
  EXPECT_EQ(serve.Finish(), ecSuccess) << serve.Err().toStdString();
  const auto files = serve.Events("file");
  ASSERT_EQ(files.size(), 1u) << serve.Out().toStdString();
  EXPECT_EQ(files[0].value("sha256").toString().toStdString(), expected);
  EXPECT_TRUE(files[0].value("complete").toBool());
  EXPECT_EQ(serve.Events("stopped").size(), 1u);
}

TEST(CommandLineBench, SayCountFivePrintsFiveRepliesThenTheRoundTripSpread) {
  const uint16_t port = FreeUdpPort();
  Program serve(UDTBENCH_CLI_EXE, {"serve", "--listen", Address(port)});
  ASSERT_TRUE(serve.WaitForOutput("listening on")) << serve.Err().toStdString();
  Program say(UDTBENCH_CLI_EXE, {"say", Address(port), "hello there", "--count", "5"});
  ASSERT_EQ(say.Finish(), ecSuccess) << say.Err().toStdString();
  const QStringList lines = say.Out().split('\n', Qt::SkipEmptyParts);
  ASSERT_EQ(lines.size(), 6) << say.Out().toStdString();
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(lines[i].startsWith("Act: ") && lines[i].endsWith(": hello there"))
        << lines[i].toStdString();
  }
  EXPECT_TRUE(lines[5].startsWith("rtt ms: min ") && lines[5].contains("median") &&
              lines[5].contains("p99") && lines[5].contains("(5 of 5)"))
      << lines[5].toStdString();
  // The server's log saw the five messages.
  serve.Terminate();
  EXPECT_EQ(serve.Finish(), ecSuccess);
  EXPECT_EQ(serve.Out().count("> hello there\n") + serve.Out().count(": hello there\n"), 5)
      << serve.Out().toStdString();
}

TEST(CommandLineBench, AnUnreachablePeerEndsWithThreeWithinTheConnectTimeOut) {
  const uint16_t port = FreeUdpPort();
  QElapsedTimer took;
  took.start();
  Program say(UDTBENCH_CLI_EXE, {"say", Address(port), "anyone?", "--json"});
  EXPECT_EQ(say.Finish(), ecUnreachable) << say.Err().toStdString();
  // UDT4 gives up connecting after 3 s; the margin is for a busy machine.
  EXPECT_LT(took.elapsed(), 10000);
  EXPECT_TRUE(say.Err().startsWith("udtbench-cli: cannot reach " + Address(port)))
      << say.Err().toStdString();
  EXPECT_EQ(say.Events("error").size(), 1u) << say.Out().toStdString();
}

TEST(CommandLineBench, BadUsageEndsWithTwoAndOneLineBeforeAnythingStarts) {
  TempFolder folder;
  // A port held by another socket cannot be listened on.
  const uint16_t takenPort = FreeUdpPort();
  const int holder = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(takenPort);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  const QString taken = Address(takenPort);
  const std::vector<std::pair<const char*, QStringList>> cases = {
      {UDTBENCH_CLI_EXE, {}},
      {UDTBENCH_CLI_EXE, {"fetch", "127.0.0.1"}},
      {UDTBENCH_CLI_EXE, {"say", "127.0.0.1", "hi", "--count", "0"}},
      {UDTBENCH_CLI_EXE, {"send", "127.0.0.1:99999", "/etc/hostname"}},
      {UDTBENCH_CLI_EXE, {"send", "127.0.0.1", "/no/such/file"}},
      {UDTBENCH_CLI_EXE, {"serve", "--listen", taken}},
      {UDTBENCH_CLI_EXE, {"serve", "--frobnicate"}},
      {UDTBENCH_EXE, {"--listen", taken}},
      {UDTBENCH_EXE, {"--folder", QString::fromStdString((folder.Path() / "none").string())}},
      {UDTBENCH_TUI_EXE, {"--listen", "nowhere.invalid:5000"}},
      {UDTBENCH_TUI_EXE, {"--frobnicate"}},
  };
  for (const auto& [exe, arguments] : cases) {
    Program p(exe, arguments);
    const std::string what = std::string(exe) + " " + arguments.join(' ').toStdString();
    EXPECT_EQ(p.Finish(), ecUsage) << what << "\n" << p.Err().toStdString();
    EXPECT_TRUE(p.Err().trimmed().split('\n').last().contains(": ")) << what;
    EXPECT_TRUE(p.Out().isEmpty()) << what << "\n" << p.Out().toStdString();
  }
  ::close(holder);
}

TEST(CommandLineBench, TheWindowListensAndStoresWhereItIsTold) {
  TempFolder in, out;
  const uint16_t port = FreeUdpPort();
  Program window(UDTBENCH_EXE, {"--listen", Address(port), "--folder",
                                QString::fromStdString(in.Path().string())});
  ASSERT_TRUE(WaitWithEvents([&] { return Bound(port); }))
      << "the window did not listen on " << Address(port).toStdString();
  const auto file = out.Path() / "to-the-window.bin";
  const std::string content = WriteFile(file, 300000, 3);
  Program send(UDTBENCH_CLI_EXE, {"send", Address(port), QString::fromStdString(file.string())});
  ASSERT_EQ(send.Finish(), ecSuccess) << send.Err().toStdString();
  EXPECT_EQ(ReadFile(in.Path() / "to-the-window.bin"), content);
  window.Terminate();
  EXPECT_EQ(window.Finish(), 0) << window.Err().toStdString();
}

}  // namespace
}  // namespace cli_test
