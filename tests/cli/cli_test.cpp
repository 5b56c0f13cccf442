// udtbench-cli, udtbench and udtbench-tui as real processes on loopback ports
// of their own: files and messages end to end, exit codes, the chosen address
// and folder of the window.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <filesystem>

#include "bench_options.h"
#include "events.h"
#include "files.h"
#include "ports.h"
#include "program_process.h"
#include "exchange_protocol.h"

namespace cli_test {
namespace {

using namespace test_support;

QString Address(uint16_t Port) { return QStringLiteral("127.0.0.1:%1").arg(Port); }
QString Arg(const std::filesystem::path& Path) { return QString::fromStdString(Path.string()); }

// A folder the server stores into, one the clients send from, and a port of the test's own.
class CommandLineBench : public ::testing::Test {
 protected:
  TempFolder In, Out;
  const uint16_t Port = FreeUdpPort();
};

TEST_F(CommandLineBench, ServeTakesFilesWhoseSha256MatchesRefusesABadNameAndEchoesSay) {
  ProgramProcess serve(UDTBENCH_CLI_EXE,
                       {"serve", "--listen", Address(Port), "--folder", Arg(In.Path()), "--json"});
  ASSERT_TRUE(serve.WaitForOutput("\"listening\"")) << serve.Err().toStdString();

  const auto file = Out.Path() / "sample.bin";
  WriteFile(file, 1500000, 7);
  ProgramProcess send(UDTBENCH_CLI_EXE, {"send", Address(Port), Arg(file), "--json"});
  ASSERT_EQ(send.Finish(), ecSuccess) << send.Err().toStdString();
  const auto sent = Events(send, "sent");
  ASSERT_EQ(sent.size(), 1u) << send.Out().toStdString();
  const std::string expected = Sha256sum(file);
  EXPECT_EQ(sent[0].value("sha256").toString().toStdString(), expected);
  EXPECT_EQ(sent[0].value("bytes").toInteger(), 1500000);
  EXPECT_TRUE(sent[0].value("rtt_ms").isDouble()) << send.Out().toStdString();
  EXPECT_EQ(Sha256sum(In.Path() / "sample.bin"), expected);
  ASSERT_TRUE(serve.WaitForOutput("\"event\":\"file\""));
  // The sender's time runs until the server holds every byte, so it spans the server's own.
  const auto stored = Events(serve, "file");
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_GE(sent[0].value("seconds").toDouble(), stored[0].value("seconds").toDouble());

  // A name the server refuses (a control character): one line, exit code 1.
  const auto refused = Out.Path() / "bad\x01name";
  WriteFile(refused, 1000);
  ProgramProcess sendRefused(UDTBENCH_CLI_EXE, {"send", Address(Port), Arg(refused)});
  EXPECT_EQ(sendRefused.Finish(), ecFailed);
  EXPECT_TRUE(sendRefused.Err().contains("was refused")) << sendRefused.Err().toStdString();
  EXPECT_EQ(sendRefused.Err().count('\n'), 1) << sendRefused.Err().toStdString();

  // Five messages: five replies, then the spread of their round trips.
  ProgramProcess say(UDTBENCH_CLI_EXE, {"say", Address(Port), "hello there", "--count", "5"});
  ASSERT_EQ(say.Finish(), ecSuccess) << say.Err().toStdString();
  const QStringList lines = say.Out().split('\n', Qt::SkipEmptyParts);
  ASSERT_EQ(lines.size(), 6) << say.Out().toStdString();
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(lines[i].startsWith(QString::fromStdU16String(protocol::Reply(u""))) && lines[i].endsWith(": hello there"))
        << lines[i].toStdString();
  }
  EXPECT_TRUE(lines[5].startsWith("rtt ms: min ") && lines[5].contains("median") &&
              lines[5].contains("p99") && lines[5].contains("(5 of 5)"))
      << lines[5].toStdString();

  serve.Process().terminate();
  EXPECT_EQ(serve.Finish(), ecSuccess) << serve.Err().toStdString();
  const auto files = Events(serve, "file");
  ASSERT_EQ(files.size(), 1u) << serve.Out().toStdString();
  EXPECT_EQ(files[0].value("sha256").toString().toStdString(), expected);
  EXPECT_TRUE(files[0].value("complete").toBool());
  EXPECT_EQ(Events(serve, "stopped").size(), 1u);
  // The server's log saw the five messages.
  int heard = 0;
  for (const QJsonObject& log : Events(serve, "log")) {
    const QString line = log.value("line").toString();
    heard += line.endsWith("> hello there") || line.endsWith(": hello there");
  }
  EXPECT_EQ(heard, 5) << serve.Out().toStdString();
}

TEST_F(CommandLineBench, ATunedTransferArrivesWholeWithTheSettingsReadBackOnBothEnds) {
  const QStringList tuned = {"--mss", "1500", "--block", "1MiB", "--json"};
  ProgramProcess serve(UDTBENCH_CLI_EXE,
                       QStringList{"serve", "--listen", Address(Port), "--folder", Arg(In.Path())} + tuned);
  ASSERT_TRUE(serve.WaitForOutput("\"listening\"")) << serve.Err().toStdString();
  const auto file = Out.Path() / "tuned.bin";
  WriteFile(file, 5000000, 11);
  ProgramProcess send(UDTBENCH_CLI_EXE, QStringList{"send", Address(Port), Arg(file)} + tuned);
  ASSERT_EQ(send.Finish(), ecSuccess) << send.Err().toStdString();
  EXPECT_EQ(Sha256sum(In.Path() / "tuned.bin"), Sha256sum(file));
  ASSERT_TRUE(serve.WaitForOutput("\"event\":\"file\""));
  serve.Process().terminate();
  EXPECT_EQ(serve.Finish(), ecSuccess) << serve.Err().toStdString();
  const auto sent = Events(send, "sent");
  const auto stored = Events(serve, "file");
  ASSERT_EQ(sent.size(), 1u) << send.Out().toStdString();
  ASSERT_EQ(stored.size(), 1u) << serve.Out().toStdString();
  for (const QJsonObject& end : {sent[0], stored[0]}) {
    const QJsonObject settings = end.value("settings").toObject();
    EXPECT_EQ(settings.value("mss").toInt(), 1500) << QJsonDocument(end).toJson().toStdString();
    EXPECT_EQ(settings.value("block").toInt(), 1 << 20);
    EXPECT_EQ(settings.value("cc").toString(), "native");
  }

  // A value UDT4 refuses, and one no option takes: 2, and a line naming the option.
  for (const QStringList& bad : {QStringList{"--mss", "50"}, QStringList{"--cc", "fast"}}) {
    ProgramProcess say(UDTBENCH_CLI_EXE, QStringList{"say", Address(Port), "hi"} + bad);
    EXPECT_EQ(say.Finish(), ecUsage) << say.Err().toStdString();
    EXPECT_TRUE(say.Err().contains(bad[0] + " " + bad[1] + ": ")) << say.Err().toStdString();
  }
}

TEST_F(CommandLineBench, AnUnreachablePeerEndsWithThreeWithinTheConnectTimeOut) {
  QElapsedTimer took;
  took.start();
  ProgramProcess say(UDTBENCH_CLI_EXE, {"say", Address(Port), "anyone?", "--json"});
  EXPECT_EQ(say.Finish(), ecUnreachable) << say.Err().toStdString();
  // UDT4 gives up connecting after 3 s; the margin is for a busy machine.
  EXPECT_LT(took.elapsed(), 10000);
  EXPECT_TRUE(say.Err().startsWith("udtbench-cli: cannot reach " + Address(Port)))
      << say.Err().toStdString();
  EXPECT_EQ(Events(say, "error").size(), 1u) << say.Out().toStdString();
}

TEST_F(CommandLineBench, BadUsageEndsWithTwoAndOneLineBeforeAnythingStarts) {
  // A port held by another socket cannot be listened on.
  const HeldUdpPort held;
  ASSERT_NE(held.Port(), 0);
  const QString taken = Address(held.Port());
  const std::vector<std::pair<const char*, QStringList>> cases = {
      {UDTBENCH_CLI_EXE, {}},
      {UDTBENCH_CLI_EXE, {"fetch", "127.0.0.1"}},
      {UDTBENCH_CLI_EXE, {"say", "127.0.0.1", "hi", "--count", "0"}},
      {UDTBENCH_CLI_EXE, {"send", "127.0.0.1:99999", "/etc/hostname"}},
      {UDTBENCH_CLI_EXE, {"send", "127.0.0.1", "/no/such/file"}},
      {UDTBENCH_CLI_EXE, {"serve", "--listen", taken}},
      {UDTBENCH_CLI_EXE, {"serve", "--frobnicate"}},
      {UDTBENCH_EXE, {"--listen", taken}},
      {UDTBENCH_EXE, {"--folder", Arg(In.Path() / "none")}},
      {UDTBENCH_TUI_EXE, {"--listen", "nowhere.invalid:5000"}},
      {UDTBENCH_TUI_EXE, {"--frobnicate"}},
  };
  for (const auto& [exe, arguments] : cases) {
    ProgramProcess p(exe, arguments);
    const std::string what = std::string(exe) + " " + arguments.join(' ').toStdString();
    EXPECT_EQ(p.Finish(), ecUsage) << what << "\n" << p.Err().toStdString();
    EXPECT_TRUE(p.Err().trimmed().split('\n').last().contains(": ")) << what;
    EXPECT_TRUE(p.Out().isEmpty()) << what << "\n" << p.Out().toStdString();
  }
}

TEST_F(CommandLineBench, TheWindowListensAndStoresWhereItIsTold) {
  ProgramProcess window(UDTBENCH_EXE, {"--listen", Address(Port), "--folder", Arg(In.Path())});
  ASSERT_TRUE(WaitWithEvents([&] { return UdpPortBound(Port); }))
      << "the window did not listen on " << Address(Port).toStdString();
  const auto file = Out.Path() / "to-the-window.bin";
  const std::string content = WriteFile(file, 300000, 3);
  ProgramProcess send(UDTBENCH_CLI_EXE, {"send", Address(Port), Arg(file)});
  ASSERT_EQ(send.Finish(), ecSuccess) << send.Err().toStdString();
  EXPECT_EQ(ReadFile(In.Path() / "to-the-window.bin"), content);
  window.Process().terminate();
  EXPECT_EQ(window.Finish(), 0) << window.Err().toStdString();
}

}  // namespace
}  // namespace cli_test
