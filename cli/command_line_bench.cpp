#include "command_line_bench.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonObject>
#include <QSocketNotifier>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

#include "app_support.h"
#include "bench_options.h"
#include "cli_output.h"
#include "cli_views.h"
#include "client_form.h"
#include "received_file.h"
#include "server_form.h"
#include "sysutils.h"
#include "thread.h"
#include "transfer_figures.h"
#include "udt_h.h"

namespace {

// Until this long after a stop was asked for, running conversations may go on
// storing what their clients sent.
constexpr int kDrainUntilMs = 2500;
// How long the end of the program waits for the server's threads to leave UDT.
constexpr auto kThreadBound = std::chrono::milliseconds(1500);

const char kOverview[] =
    "Usage: udtbench-cli COMMAND [options]\n"
    "The UDT test bench's pages for scripts and headless hosts.\n"
    "\n"
    "Commands:\n"
    "  serve [--listen [HOST:]PORT] [--folder DIR] [--json]\n"
    "        Serves as the server page does until SIGINT or SIGTERM; its log lines\n"
    "        go to standard output.\n"
    "  send HOST[:PORT] FILE... [--json]\n"
    "        Sends each file as the client page does and prints a summary per file.\n"
    "  say HOST[:PORT] TEXT [--count N] [--json]\n"
    "        Sends the time-stamped message N times, prints each reply and the\n"
    "        round-trip times.\n"
    "\n"
    "  udtbench-cli COMMAND --help   shows a command's options\n"
    "  udtbench-cli --version        shows the version\n"
    "\n";

// Turns SIGINT and SIGTERM into a quit of the event loop.
class TQuitOnSignal {
 public:
  TQuitOnSignal() {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s_Pipe) != 0) return;
    FNotifier = std::make_unique<QSocketNotifier>(s_Pipe[1], QSocketNotifier::Read);
    QObject::connect(FNotifier.get(), &QSocketNotifier::activated, [] {
      char c;
      while (::read(s_Pipe[1], &c, 1) < 0 && errno == EINTR) {
      }
      QCoreApplication::exit(0);
    });
    struct sigaction sa {};
    sa.sa_handler = [](int) {
      const int saved = errno;
      const char c = 1;
      [[maybe_unused]] auto r = ::write(s_Pipe[0], &c, 1);
      errno = saved;
    };
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
  }
  ~TQuitOnSignal() {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    FNotifier.reset();
    for (int& fd : s_Pipe) {
      if (fd >= 0) ::close(fd);
      fd = -1;
    }
  }
  TQuitOnSignal(const TQuitOnSignal&) = delete;
  TQuitOnSignal& operator=(const TQuitOnSignal&) = delete;

 private:
  static inline int s_Pipe[2] = {-1, -1};
  std::unique_ptr<QSocketNotifier> FNotifier;
};

// A command's parser with --help, --version and --json; Synopsis names its arguments.
struct TCommand {
  QCommandLineParser Parser;
  QCommandLineOption Help{{"h", "help"}, "Shows this help and ends."};
  QCommandLineOption Json{"json", "Writes one JSON object per line instead of text."};

  TCommand(const QString& Description, const QList<QPair<QString, QString>>& Positional) {
    Parser.setApplicationDescription(Description + "\n\n" + ExitCodesHelp());
    Parser.addOption(Help);
    Parser.addOption(Json);
    for (const auto& [name, meaning] : Positional) Parser.addPositionalArgument(name, meaning);
  }
  // Reads Arguments; ExitNow when the program ends here (help or bad usage).
  std::optional<int> Read(const QStringList& Arguments) {
    if (!Parser.parse(Arguments)) return Usage(Parser.errorText().toStdString());
    if (Parser.isSet(Help)) {
      std::fputs(HelpText(Parser).toLocal8Bit().constData(), stdout);
      return ecSuccess;
    }
    return std::nullopt;
  }
  static int Usage(const std::string& Message) {
    PrintError(Message + " (see --help)");
    return ecUsage;
  }
};

// The peer as HOST[:PORT]; the port is 2048 when not given.
std::optional<TListenAddress> ReadPeer(const QString& Text) {
  const std::string text = Text.toStdString();
  std::string error;
  std::optional<TListenAddress> peer =
      text.find(':') == std::string::npos ? TListenAddress{text, 2048}
                                          : ParseListenAddress(text, error);
  if (!peer || peer->Host.empty()) {
    TCommand::Usage("\"" + text + "\" is not a peer: give HOST or HOST:PORT" +
                    (error.empty() ? std::string() : " (" + error + ")"));
    return std::nullopt;
  }
  return peer;
}

// Runs a command's work with the transport and an event loop around it.
int WithTransport(int argc, char** argv, const std::function<int()>& Work) {
  TUDTSocketServices services;
  int rc = ecSuccess;
  {
    QCoreApplication app(argc, argv);
    InstallMainThreadSynchronize();
    // The pages' debug lines ("Send Part Stream: ...") would drown the
    // progress and the error lines that standard error carries here.
    SetDebugOutputSink([](const std::u16string&) {});
    rc = Work();
    std::fflush(nullptr);
    // The transport may be cleaned up only once no thread is inside UDT any more;
    // one that does not leave in time is not waited for.
    if (!TThread::WaitForAllThreads(kThreadBound)) std::_Exit(rc);
  }
  return rc;
}

// ---- serve ----

int Serve(int argc, char** argv, const QStringList& Arguments) {
  TCommand command(
      "Serves as the server page does: answers every message, stores every file, and writes\n"
      "the log lines to standard output until SIGINT or SIGTERM. With --json, one JSON\n"
      "object per event: \"listening\", \"log\", \"file\" (statistics and SHA-256 of each\n"
      "received file), \"stopped\".",
      {});
  const QCommandLineOption listen("listen",
                                  "Where to listen (default: every local IPv4 address, port 2048).",
                                  "[HOST:]PORT");
  const QCommandLineOption folder(
      "folder", "Where received files are stored (default: the program's folder).", "DIR");
  command.Parser.addOptions({listen, folder});
  if (auto exit = command.Read(Arguments)) return *exit;
  if (!command.Parser.positionalArguments().isEmpty())
    return TCommand::Usage("serve takes no argument \"" +
                           command.Parser.positionalArguments().first().toStdString() + "\"");
  TListenAddress address;
  if (command.Parser.isSet(listen)) {
    std::string error;
    auto given = ParseListenAddress(command.Parser.value(listen).toStdString(), error);
    if (!given) return TCommand::Usage("--listen: " + error);
    address = *given;
  }
  std::string folderPath = ExecutableFolder();
  if (command.Parser.isSet(folder)) {
    folderPath = QFileInfo(command.Parser.value(folder)).absoluteFilePath().toStdString();
    if (std::string problem = FolderProblem(folderPath); !problem.empty())
      return TCommand::Usage("--folder: " + problem);
  }
  if (std::string problem = ListenProblem(address); !problem.empty()) {
    PrintError(problem);
    return ecUsage;
  }
  TCliOutput output(command.Parser.isSet(command.Json));

  return WithTransport(argc, argv, [&]() -> int {
    QObject context;
    TCliServerView view(output, address);
    auto form = std::make_unique<TForm1>(view, std::to_string(address.Port));
    form->UdtServer1()->SetLocalHost(address.Host);
    form->SetReceiveFolder(folderPath);
    form->OnFileReceived = [&output, &context](TUDTCustomIpClient& ClientSocket,
                                               const TFileReceipt& Receipt) {
      TTransferSummary summary;
      summary.Peer = ClientSocket.RemoteHost() + ":" + ClientSocket.RemotePort();
      summary.Name = Utf16ToUtf8(Receipt.Name);
      summary.Bytes = Receipt.Stored;
      summary.Seconds = Receipt.Seconds;
      summary.MBps = Receipt.Seconds > 0 ? Receipt.Stored / 1e6 / Receipt.Seconds : 0;
      summary.Sha256 = Sha256OfFile(Receipt.Path);
      const bool link = AddLinkFigures(ClientSocket, false, std::nullopt, summary);
      QJsonObject event = SummaryJson(summary, link);
      event["event"] = "file";
      event["peer"] = QString::fromStdString(summary.Peer);
      event["path"] = QString::fromStdString(Receipt.Path);
      event["announced"] = Receipt.Announced;
      event["complete"] = Receipt.Complete;
      const std::string line =
          (Receipt.Complete ? "received " : "cut short ") + SummaryLine(summary, link);
      PostToMainThread(&context, [&output, event, line] {
        output.Line(line);
        output.Event(event);
      });
    };
    form->FormCreate();
    if (!form->UdtServer1()->Listening()) {
      PrintError("cannot listen on " + address.Text());
      return ecUsage;
    }
    output.Line("listening on " + address.Text() + ", storing files in " + folderPath);
    output.Event({{"event", "listening"},
                  {"host", QString::fromStdString(address.Host.empty() ? "0.0.0.0" : address.Host)},
                  {"port", address.Port},
                  {"folder", QString::fromStdString(folderPath)}});
    {
      TQuitOnSignal quitOnSignal;
      QCoreApplication::exec();
    }
    // No new conversations; those under way may finish what they are storing.
    form->actCloseExecute();
    QElapsedTimer sinceStop;
    sinceStop.start();
    while (form->ConversationCount() > 0 && sinceStop.elapsed() < kDrainUntilMs)
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    form->Shutdown(kThreadBound);
    QCoreApplication::processEvents();
    form.reset();
    output.Line("stopped");
    output.Event({{"event", "stopped"}});
    return ecSuccess;
  });
}

// ---- send and say: the client page ----

// The client page connected to Peer, or the exit code when it cannot be.
std::optional<int> Connect(TForm2& Form, TCliClientView& View, TCliOutput& Output,
                           const TListenAddress& Peer) {
  const size_t before = View.Log().size();
  Form.Button1Click(nullptr);
  if (Form.udtClient1->Active()) return std::nullopt;
  std::string reason = View.Log().size() > before ? Utf16ToUtf8(View.Log().back()) : "";
  Output.Error("cannot reach " + Peer.Text() + (reason.empty() ? "" : ": " + reason));
  return ecUnreachable;
}

// What one exchange of the client page brought: the reply, or why there was none.
struct TExchange {
  bool Ok = false;
  std::u16string Reply;
  std::string Failure;
  double Milliseconds = 0;
};

// Sends Text as the client page's Send does and waits for its reply.
TExchange Exchange(TForm2& Form, TCliClientView& View, const std::u16string& Text) {
  View.SetContent(Text);
  const size_t before = View.Log().size();
  const auto start = std::chrono::steady_clock::now();
  Form.Button2Click(nullptr);
  TExchange e;
  e.Milliseconds =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  const auto& log = View.Log();
  // The reply is the last line added; lines before it are the failures of the calls.
  if (log.size() > before) e.Reply = log.back();
  e.Ok = Form.udtClient1->Active() && log.size() == before + 1 && e.Reply.starts_with(u"Act: ") &&
         e.Reply.ends_with(Text);
  if (!e.Ok)
    e.Failure = log.size() > before + 1 ? Utf16ToUtf8(log[before])
                                        : "the reply was \"" + Utf16ToUtf8(e.Reply) + "\"";
  return e;
}

int Send(int argc, char** argv, const QStringList& Arguments) {
  TCommand command(
      "Sends each FILE to the server at HOST[:PORT] as the client page does, then exchanges one\n"
      "message, whose reply shows the server has taken the whole file. Prints per file: bytes,\n"
      "seconds, MB/s, round-trip time, loss, retransmits and SHA-256. A progress bar goes to\n"
      "standard error when it is a terminal.",
      {{"HOST[:PORT]", "The server (port 2048 when not given)."},
       {"FILE...", "The files to send, one after another over one connection."}});
  if (auto exit = command.Read(Arguments)) return *exit;
  const QStringList args = command.Parser.positionalArguments();
  if (args.size() < 2) return TCommand::Usage("send needs HOST[:PORT] and at least one FILE");
  const auto peer = ReadPeer(args[0]);
  if (!peer) return ecUsage;
  std::vector<QFileInfo> files;
  for (qsizetype i = 1; i < args.size(); ++i) {
    QFileInfo file(args[i]);
    if (!file.isFile() || !file.isReadable())
      return TCommand::Usage("\"" + args[i].toStdString() + "\" is not a readable file");
    files.push_back(file);
  }
  TCliOutput output(command.Parser.isSet(command.Json));

  return WithTransport(argc, argv, [&]() -> int {
    TCliClientView view(output, peer->Host, std::to_string(peer->Port));
    TForm2 form(view);
    if (auto exit = Connect(form, view, output, *peer)) return *exit;
    for (const QFileInfo& file : files) {
      const std::string path = file.absoluteFilePath().toStdString();
      const std::string name = file.fileName().toStdString();
      const size_t logBefore = view.Log().size();
      const auto start = std::chrono::steady_clock::now();
      const std::optional<TUDTTraceInfo> before = form.udtClient1->PerfMon(false);
      view.SetFile(Utf8ToUtf16(path), file.size());
      std::u16string failure;
      const bool handled = RunHandler([&] { form.btnSendFileClick(nullptr); },
                                      [&](const std::u16string& text) { failure = text; });
      view.EndFile();
      if (!handled) {
        output.Error(name + " was not sent: " + Utf16ToUtf8(failure));
        return ecFailed;
      }
      TExchange confirm;
      if (form.udtClient1->Active())
        confirm = Exchange(form, view, u"udtbench-cli sent " + Utf8ToUtf16(name));
      if (!confirm.Ok) {
        const std::u16string refused = RefusedNameReason(Utf8ToUtf16(name));
        std::string reason = view.Log().size() > logBefore ? Utf16ToUtf8(view.Log()[logBefore])
                                                           : confirm.Failure;
        if (!refused.empty())
          output.Error(name + " was refused by " + peer->Text() + ": " + Utf16ToUtf8(refused));
        else
          output.Error("the connection to " + peer->Text() + " was cut while sending " + name +
                       " (the server may have refused the file): " + reason);
        return ecFailed;
      }
      TTransferSummary summary;
      summary.Peer = peer->Text();
      summary.Name = name;
      summary.Bytes = file.size();
      summary.Seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      summary.MBps = summary.Seconds > 0 ? summary.Bytes / 1e6 / summary.Seconds : 0;
      summary.Sha256 = Sha256OfFile(path);
      const bool link = AddLinkFigures(*form.udtClient1, true, before, summary);
      output.Line(SummaryLine(summary, link));
      QJsonObject event = SummaryJson(summary, link);
      event["event"] = "sent";
      event["path"] = QString::fromStdString(path);
      event["peer"] = QString::fromStdString(peer->Text());
      output.Event(event);
    }
    return ecSuccess;
  });
}

int Say(int argc, char** argv, const QStringList& Arguments) {
  TCommand command(
      "Sends the time-stamped message TEXT to the server at HOST[:PORT] as the client page's\n"
      "Send does, N times, prints each reply, then the round-trip times in milliseconds:\n"
      "min, median, p99 and max.",
      {{"HOST[:PORT]", "The server (port 2048 when not given)."},
       {"TEXT", "The message, sent after the time stamp."}});
  const QCommandLineOption count("count", "How many times to send the message (default 1).", "N",
                                 "1");
  command.Parser.addOption(count);
  if (auto exit = command.Read(Arguments)) return *exit;
  const QStringList args = command.Parser.positionalArguments();
  if (args.size() != 2) return TCommand::Usage("say needs HOST[:PORT] and one TEXT");
  const auto peer = ReadPeer(args[0]);
  if (!peer) return ecUsage;
  bool numeric = false;
  const int n = command.Parser.value(count).toInt(&numeric);
  if (!numeric || n < 1)
    return TCommand::Usage("--count: \"" + command.Parser.value(count).toStdString() +
                           "\" is not a positive whole number");
  const std::u16string text = args[1].toStdU16String();
  TCliOutput output(command.Parser.isSet(command.Json));

  return WithTransport(argc, argv, [&]() -> int {
    TCliClientView view(output, peer->Host, std::to_string(peer->Port));
    TForm2 form(view);
    if (auto exit = Connect(form, view, output, *peer)) return *exit;
    std::vector<double> times;
    int rc = ecSuccess;
    for (int i = 1; i <= n; ++i) {
      const TExchange e = Exchange(form, view, text);
      if (!e.Ok) {
        output.Error("exchange " + std::to_string(i) + " of " + std::to_string(n) +
                     " with " + peer->Text() + " failed: " + e.Failure);
        rc = ecFailed;
        break;
      }
      times.push_back(e.Milliseconds);
      output.Line(Utf16ToUtf8(e.Reply));
      output.Event({{"event", "reply"},
                    {"n", i},
                    {"reply", QString::fromStdU16String(e.Reply)},
                    {"rtt_ms", e.Milliseconds}});
    }
    const TSpread s = SpreadOf(times);
    char line[160];
    std::snprintf(line, sizeof line, "rtt ms: min %.3f, median %.3f, p99 %.3f, max %.3f (%zu of %d)",
                  s.Min, s.Median, s.P99, s.Max, times.size(), n);
    output.Line(line);
    output.Event({{"event", "summary"},
                  {"count", static_cast<int>(times.size())},
                  {"asked", n},
                  {"rtt_ms", QJsonObject{{"min", s.Min},
                                         {"median", s.Median},
                                         {"p99", s.P99},
                                         {"max", s.Max}}}});
    return rc;
  });
}

}  // namespace

int RunCommandLineBench(int argc, char** argv) {
  QStringList arguments = ArgumentList(argc, argv);
  if (arguments.size() < 2) {
    std::fputs(kOverview, stderr);
    PrintError("give a command: serve, send or say");
    return ecUsage;
  }
  const QString verb = arguments[1];
  if (verb == "-h" || verb == "--help" || verb == "help") {
    std::fputs(kOverview, stdout);
    std::fputs(ExitCodesHelp().toLocal8Bit().constData(), stdout);
    return ecSuccess;
  }
  if (verb == "-v" || verb == "--version") {
    std::printf("udtbench-cli %s\n", UDTBENCH_VERSION);
    return ecSuccess;
  }
  // The command's own parser sees "udtbench-cli COMMAND" as the program.
  arguments.removeAt(1);
  SetProgramName("udtbench-cli " + verb.toStdString());
  if (verb == "serve") return Serve(argc, argv, arguments);
  if (verb == "send") return Send(argc, argv, arguments);
  if (verb == "say") return Say(argc, argv, arguments);
  PrintError("unknown command \"" + verb.toStdString() + "\": give serve, send or say (see --help)");
  return ecUsage;
}
