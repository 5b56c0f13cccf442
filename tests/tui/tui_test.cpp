// The terminal front-end as an operator meets it: the real udtbench-tui in a
// real terminal (tmux), driven by keys and read from the screen, with a UDT
// peer of the test's own on loopback.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <regex>

#include "custom_ip_client.h"
#include "sysutils.h"
#include "tmux_terminal.h"
#include "files.h"
#include "ports.h"
#include "program.h"
#include "raw_udt.h"
#include "bytes.h"
#include "exchange_protocol.h"

namespace tui_test {
namespace {

namespace fs = std::filesystem;

constexpr int kWidth = 120;
constexpr int kHeight = 36;

// The program, copied into a folder of its own (the folder it stores received
// files in), running in a tmux window. The command records the exit code and
// whether the terminal's modes are the same as before the program ran.
class TuiTest : public WholeProgramTest {
 protected:
  static void SetUpTestSuite() {
    // tmux and the program handle text as UTF-8, and tmux must not take this
    // process for a client of some tmux it runs inside.
    ::setenv("LANG", "C.UTF-8", 1);
    ::setenv("LC_ALL", "C.UTF-8", 1);
    ::unsetenv("TMUX");
  }

  void SetUp() override {
    WholeProgramTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_FALSE(FFolder.Path().empty());
    const fs::path exe = FFolder.Path() / "udtbench-tui";
    fs::copy_file(UDTBENCH_TUI_EXE, exe);
    fs::permissions(exe, fs::perms::owner_all, fs::perm_options::add);
    FExitFile = FFolder.Path() / "exit.txt";
    const std::string command =
        "trap : INT; cd " + ShellQuote(FFolder.Path().string()) +
        " && before=$(stty -g) && ./udtbench-tui; rc=$?; after=$(stty -g);"
        " if [ \"$before\" = \"$after\" ]; then t=same; else t=changed; fi;"
        " echo \"EXIT=$rc TTY=$t\" > exit.tmp; mv exit.tmp exit.txt; cat exit.txt;"
        // The shell stays, so the pane shows what the program left behind.
        " exec tail -f /dev/null";
    FTerm = std::make_unique<TmuxTerminal>(FFolder.Path(), "sh -c " + ShellQuote(command),
                                           kWidth, kHeight);
    ASSERT_TRUE(FTerm->Started()) << "tmux did not start";
  }

  void TearDown() override {
    FTerm.reset();
    EXPECT_TRUE(WaitUntil([] { return !UdpPortBound(kDefaultPort); }))
        << "the program still holds port " << kDefaultPort;
    WholeProgramTest::TearDown();
  }

  // The program's process: the only child of the pane's shell.
  pid_t ProgramPid() const {
    const std::string shell = FTerm->Format("#{pane_pid}");
    std::ifstream children("/proc/" + shell + "/task/" + shell + "/children");
    pid_t pid = 0;
    return children >> pid ? pid : 0;
  }

  // Whether Signal, sent to the whole process, waits to be delivered to it.
  static bool SignalPending(pid_t pid, int Signal) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("ShdPnd:", 0) == 0)
        return (std::stoull(line.substr(7), nullptr, 16) >> (Signal - 1)) & 1;
    return false;
  }

  // Waits for the program to end; its exit code and the terminal's state.
  std::string WaitForExit() {
    if (!WaitUntil([&] { return fs::exists(FExitFile); })) return "still running";
    std::string text = ReadFile(FExitFile);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
  }

  // The terminal is back as it was: the program's screen is gone and the cursor
  // shows (the modes are compared by the command itself).
  void ExpectTerminalRestored() {
    EXPECT_TRUE(FTerm->WaitForText("EXIT=0 TTY=same")) << FTerm->Screen();
    EXPECT_EQ(FTerm->Format("#{alternate_on}"), "0") << "still on the alternate screen";
    EXPECT_EQ(FTerm->Format("#{cursor_flag}"), "1") << "the cursor is still hidden";
    const std::string screen = FTerm->Screen();
    EXPECT_EQ(screen.find("Memo1"), std::string::npos) << screen;
  }

  TempFolder FFolder;
  TempFolder FSource;
  fs::path FExitFile;
  std::unique_ptr<TmuxTerminal> FTerm;
};

TEST_F(TuiTest, OperatorServesAPeerTalksToTheOwnServerSendsAFileAndQuits) {
  ASSERT_TRUE(FTerm->WaitForText("listening on 0.0.0.0:2048")) << FTerm->Screen();
  ASSERT_TRUE(WaitUntil([] { return UdpPortBound(2048); }));
  const std::string start = FTerm->Screen();
  EXPECT_NE(start.find("udt服务端"), std::string::npos) << start;
  EXPECT_NE(start.find("udt客户端"), std::string::npos) << start;
  EXPECT_NE(start.find("F5 打开"), std::string::npos) << "keys are not listed:\n" << start;

  // A peer of our own gets its reply; the server page logs the message.
  {
    DefaultPortPeer peer;
    ASSERT_TRUE(peer.Connected());
    EXPECT_TRUE(peer.Exchange(u"hello from a peer") == protocol::Reply(u"hello from a peer"));
    EXPECT_TRUE(FTerm->WaitForMatch("<127\\.0\\.0\\.1: [0-9]+> hello from a peer"))
        << FTerm->Screen();
  }

  // The client page connects to the program's own server and sends a message.
  FTerm->Keys({"F2"});
  ASSERT_TRUE(FTerm->WaitForText("Memo2 · received")) << FTerm->Screen();
  FTerm->Keys({"C-u"});
  FTerm->Type("127.0.0.1");
  FTerm->Keys({"Enter"});
  ASSERT_TRUE(FTerm->WaitForText("Close]  connected")) << FTerm->Screen();
  FTerm->Keys({"Tab", "Tab", "C-u"});
  FTerm->Type("ping from the terminal");
  FTerm->Keys({"F7"});
  EXPECT_TRUE(FTerm->WaitForMatch(test_support::U8(protocol::Reply(u"[0-9]{2}:[0-9]{2}:[0-9]{2}: ping from the terminal"))))
      << FTerm->Screen();

  // A file typed by its path arrives byte for byte in the program's folder.
  const std::string name = "tui-sent-" + std::to_string(::getpid()) + ".bin";
  std::string data(300 * 2048 + 123, '\0');
  std::mt19937 random(7);
  for (char& c : data) c = static_cast<char>(random());
  {
    std::ofstream out(FSource.Path() / name, std::ios::binary);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
  }
  FTerm->Keys({"Tab", "C-u"});
  FTerm->Type((FSource.Path() / name).string());
  FTerm->Keys({"F9"});
  const fs::path stored = FFolder.Path() / name;
  EXPECT_TRUE(WaitUntil([&] {
    std::error_code ec;
    return fs::file_size(stored, ec) == data.size() && !ec && ReadFile(stored) == data;
  })) << "the program's folder does not hold the file as sent";
  // The gauge, its percentage and the progress text of the page's title, which
  // changes with the integer percentage only: last when it became 100.
  const std::string size = std::to_string(data.size());
  const std::string progress = "[0-9]+/" + size + "= (99\\.[5-9][0-9]|100\\.00)";
  EXPECT_TRUE(FTerm->WaitForMatch("\\] 100%  " + progress)) << FTerm->Screen();
  EXPECT_TRUE(std::regex_search(FTerm->Rows().at(0), std::regex("\\[" + progress + "\\]")))
      << "the page's title does not show the progress:\n"
      << FTerm->Screen();

  // Back on the server page, the client page's message is in the log.
  FTerm->Keys({"F2"});
  EXPECT_TRUE(FTerm->WaitForMatch("<127\\.0\\.0\\.1: [0-9]+> [0-9:]{8}: ping from the terminal"))
      << FTerm->Screen();

  FTerm->Keys({"F10"});
  EXPECT_EQ(WaitForExit(), "EXIT=0 TTY=same");
  ExpectTerminalRestored();
}

TEST_F(TuiTest, ErrorsWaitInALineUntilDismissedAndCtrlCRestoresTheTerminal) {
  ASSERT_TRUE(FTerm->WaitForText("listening on 0.0.0.0:2048")) << FTerm->Screen();
  FTerm->Keys({"F6"});
  ASSERT_TRUE(FTerm->WaitForText("server log · closed")) << FTerm->Screen();

  // A port that is neither a number nor a service name fails the open.
  FTerm->Keys({"Tab", "C-u"});
  FTerm->Type("no-such-port");
  FTerm->Keys({"F5"});
  ASSERT_TRUE(FTerm->WaitForText("[Enter: dismiss]")) << FTerm->Screen();
  EXPECT_NE(FTerm->Screen().find("Error: "), std::string::npos) << FTerm->Screen();
  // Like a message box, the line takes no other key until it is dismissed.
  FTerm->Keys({"F2"});
  FTerm->Keys({"Enter"});
  ASSERT_TRUE(WaitUntil([&] { return FTerm->Screen().find("Error: ") == std::string::npos; }))
      << FTerm->Screen();
  EXPECT_NE(FTerm->Screen().find("Memo1 · server log"), std::string::npos)
      << "a key pressed while the error showed changed the page:\n"
      << FTerm->Screen();

  // The failed open left the server active but not listening; Close and Open
  // on a good port bring it back.
  ASSERT_TRUE(FTerm->WaitForText("active, not listening")) << FTerm->Screen();
  FTerm->Keys({"F6", "C-u"});
  FTerm->Type("2048");
  FTerm->Keys({"F5"});
  ASSERT_TRUE(FTerm->WaitForText("listening on 127.0.0.1:2048")) << FTerm->Screen();

  // The screen follows the terminal's size.
  FTerm->Resize(80, 24);
  EXPECT_TRUE(WaitUntil([&] {
    const auto rows = FTerm->Rows();
    return rows.size() == 24 && rows[22].find("F10/Ctrl-C") != std::string::npos &&
           rows[20].find("Port") != std::string::npos;
  })) << FTerm->Screen();
  // Keys still work at the new size.
  FTerm->Keys({"F2"});
  EXPECT_TRUE(FTerm->WaitForText("Memo2 · received")) << FTerm->Screen();

  FTerm->Keys({"C-c"});
  EXPECT_EQ(WaitForExit(), "EXIT=0 TTY=same");
  ExpectTerminalRestored();
}

TEST_F(TuiTest, SecondCtrlCEndsAProgramStuckWaitingForAReplyWithTheTerminalRestored) {
  ASSERT_TRUE(FTerm->WaitForText("listening on 0.0.0.0:2048")) << FTerm->Screen();
  // A peer that takes the connection but never answers: Send waits for ever.
  RawListener silent;
  ASSERT_TRUE(silent.Ok());
  FTerm->Keys({"F2", "C-u"});
  FTerm->Type("127.0.0.1");
  FTerm->Keys({"Tab", "C-u"});
  FTerm->Type(std::to_string(silent.Port()));
  FTerm->Keys({"Enter"});
  ASSERT_TRUE(FTerm->WaitForText("Close]  connected")) << FTerm->Screen();
  RawSocket accepted = silent.Accept();
  ASSERT_TRUE(accepted.Valid());
  BoundBlockingCalls(accepted.Get());
  FTerm->Keys({"F7"});
  ASSERT_TRUE(WaitUntil([&] { return !accepted.RecvExactly(4).empty(); }))
      << "the message did not go out";

  // Ctrl-C twice as the signals the terminal makes of it, close enough that no
  // event pass takes the first quit between them (two tmux key presses are two
  // process starts apart); the second follows the first's delivery, so they cannot merge.
  const pid_t program = ProgramPid();
  ASSERT_GT(program, 0) << "the program's process was not found";
  ASSERT_EQ(::kill(program, SIGINT), 0);
  ASSERT_TRUE(WaitUntil([&] { return !SignalPending(program, SIGINT); }));
  ASSERT_EQ(::kill(program, SIGINT), 0);
  EXPECT_EQ(WaitForExit(), "EXIT=130 TTY=same");
  EXPECT_EQ(FTerm->Format("#{alternate_on}"), "0") << "still on the alternate screen";
  EXPECT_EQ(FTerm->Format("#{cursor_flag}"), "1") << "the cursor is still hidden";
}

}  // namespace
}  // namespace tui_test
