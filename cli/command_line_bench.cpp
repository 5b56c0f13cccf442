#include "command_line_bench.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonObject>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>

#include "app_support.h"
#include "bench_options.h"
#include "cli_output.h"
#include "cli_views.h"
#include "client_form.h"
#include "exchange_protocol.h"
#include "link_report.h"
#include "received_file.h"
#include "program_lifetime.h"
#include "server_form.h"
#include "spread.h"
#include "sysutils.h"
#include "transfer_figures.h"

namespace {

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
    "  Each command also takes the link settings --mss, --sndbuf, --rcvbuf,\n"
    "  --udp-sndbuf, --udp-rcvbuf, --fc, --max-rate, --block and --cc native|fixed:MBIT;\n"
    "  send and serve take --interval SECONDS for the link statistics.\n"
    "\n"
    "  udtbench-cli COMMAND --help   shows a command's options\n"
    "  udtbench-cli --version        shows the version\n"
    "\n";

// A command's parser with --help, --version and --json; Synopsis names its arguments.
struct TCommand {
  QCommandLineParser Parser;
  QCommandLineOption Help{{"h", "help"}, "Shows this help and ends."};
  QCommandLineOption Json{"json", "Writes one JSON object per line instead of text."};
  QCommandLineOption Interval{"interval",
                              "Prints the link statistics every SECONDS: rates, RTT, loss, "
                              "retransmits and windows (a \"stats\" event with --json).",
                              "SECONDS"};
  TLinkOptions Link{"the connection"};

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
  std::optional<int> ReadInterval(std::optional<double>& Seconds) const {
    return ::ReadInterval(Parser.value(Interval), Parser.isSet(Interval), Seconds);
  }
  static int Usage(const std::string& Message) {
    PrintError(Message + " (see --help)");
    return ecUsage;
  }
};

// The peer as HOST[:PORT]; the default port when not given.
std::optional<TListenAddress> ReadPeer(const QString& Text) {
  const std::string text = Text.toStdString();
  std::string error;
  std::optional<TListenAddress> peer =
      text.find(':') == std::string::npos ? TListenAddress{text}
                                          : ParseListenAddress(text, error);
  if (!peer || peer->Host.empty()) {
    TCommand::Usage("\"" + text + "\" is not a peer: give HOST or HOST:PORT" +
                    (error.empty() ? std::string() : " (" + error + ")"));
    return std::nullopt;
  }
  return peer;
}

// Runs a command's front-end (see TFrontEnd) in the program's lifetime, with
// Signals turned into its Quit.
int RunCommand(int argc, char** argv, std::vector<int> Signals,
               const std::function<std::unique_ptr<TFrontEnd>()>& Create) {
  // The pages' debug lines ("Send Part Stream: ...") would drown the
  // progress and the error lines that standard error carries here.
  SetDebugOutputSink([](const std::u16string&) {});
  return RunProgram(
      [&argc, argv] {
        auto app = std::make_unique<QCoreApplication>(argc, argv);
        // Errors of the lifetime read "udtbench-cli COMMAND: ...", as ours do.
        QCoreApplication::setApplicationName(QString::fromStdString(ProgramName()));
        return app;
      },
      Create, std::move(Signals));
}

// ---- serve ----

// The server page serving until a signal ends it: then it stops accepting, lets
// the conversations under way store what their clients sent, within the bound
// every front-end keeps, and shuts the server down.
class TServeFrontEnd : public TFrontEnd {
 public:
  TServeFrontEnd(TCliOutput& Output, const TListenAddress& Address, const std::string& Folder,
                 const TLinkSettings& Link, std::optional<double> Interval)
      : FOutput(Output), FView(Output, Address), FLink(Link) {
    FForm = std::make_unique<TForm1>(FView, std::to_string(Address.Port));
    FForm->UdtServer1()->SetLocalHost(Address.Host);
    FForm->SetReceiveFolder(Folder);
    FForm->SetLinkSettings(Link);
    FForm->OnFileReceived = [this](TUDTCustomIpClient& ClientSocket, const TFileReceipt& Receipt) {
      Received(ClientSocket, Receipt);
    };
    FForm->FormCreate();
    RequireLinkSettings(FForm->UdtServer1()->SettingRefused());
    if (!FForm->UdtServer1()->Listening())
      throw std::runtime_error("cannot listen on " + Address.Text());
    FOutput.Line("listening on " + Address.Text() + ", storing files in " + Folder);
    FOutput.Event({{"event", "listening"},
                   {"host", QString::fromStdString(Address.Host.empty() ? "0.0.0.0" : Address.Host)},
                   {"port", Address.Port},
                   {"folder", QString::fromStdString(Folder)},
                   {"link", QString::fromStdString(LinkSettingsLine(Link))}});
    if (Interval)
      FReport = std::make_unique<TIntervalReport>(FOutput, *Interval, [this] {
        std::vector<std::pair<std::string, int32_t>> connections;
        for (int32_t h : FForm->ConversationHandles())
          connections.emplace_back("connection " + std::to_string(h), h);
        return connections;
      });
  }
  ~TServeFrontEnd() override {
    if (!FEnded) End(kConversationsBound);
    FForm.reset();
  }
  bool End(std::chrono::milliseconds Bound) override {
    FEnded = true;
    FReport.reset();
    // No new conversations; those under way may finish what they are storing.
    FForm->actCloseExecute();
    QElapsedTimer sinceStop;
    sinceStop.start();
    TPagesClosing::DrainConversations(*FForm, sinceStop);
    const bool ended = FForm->Shutdown(Bound);
    QCoreApplication::processEvents();
    FOutput.Line("stopped");
    FOutput.Event({{"event", "stopped"}});
    return ended;
  }
  void Quit() override { QCoreApplication::exit(ecSuccess); }

 private:
  // A conversation's worker thread kept a file: its figures go out on the main thread.
  void Received(TUDTCustomIpClient& ClientSocket, const TFileReceipt& Receipt) {
    const TTransferSummary& summary = Receipt.Summary;
    QJsonObject event = SummaryJson(summary);
    event["settings"] = SettingsJson(summary.Settings);
    AddPacketCounts(ClientSocket, false, std::nullopt, event);
    event["event"] = "file";
    event["peer"] = QString::fromStdString(summary.Peer);
    event["path"] = QString::fromStdString(Receipt.Path);
    event["announced"] = Receipt.Announced;
    event["complete"] = Receipt.Complete;
    const std::string line = (Receipt.Complete ? "received " : "cut short ") + SummaryLine(summary);
    const std::string settings = FLink.Empty() || !summary.Settings
                                     ? std::string()
                                     : "link settings in force: " + LinkSettingsText(*summary.Settings);
    PostToMainThread(&FContext, [this, event, line, settings] {
      FOutput.Line(line);
      if (!settings.empty()) FOutput.Line(settings);
      FOutput.Event(event);
    });
  }

  TCliOutput& FOutput;
  QObject FContext;
  TCliServerView FView;
  const TLinkSettings FLink;
  std::unique_ptr<TForm1> FForm;
  std::unique_ptr<TIntervalReport> FReport;
  bool FEnded = false;
};

int Serve(int argc, char** argv, const QStringList& Arguments) {
  TCommand command(
      "Serves as the server page does: answers every message, stores every file, and writes\n"
      "the log lines to standard output until SIGINT or SIGTERM. With --json, one JSON\n"
      "object per event: \"listening\", \"log\", \"file\" (statistics and SHA-256 of each\n"
      "received file), \"stopped\".",
      {});
  const TServerOptions server(QStringLiteral("the server"));
  command.Parser.addOptions(server.All());
  command.Parser.addOption(command.Interval);
  if (auto exit = command.Read(Arguments)) return *exit;
  if (!command.Parser.positionalArguments().isEmpty())
    return TCommand::Usage("serve takes no argument \"" +
                           command.Parser.positionalArguments().first().toStdString() + "\"");
  TBenchOptions options;
  if (auto exit = server.Read(command.Parser, options)) return *exit;
  std::optional<double> interval;
  if (auto exit = command.ReadInterval(interval)) return *exit;
  // Serving is all this program does: the default address must be free too.
  const TListenAddress address = options.Listen.value_or(TListenAddress{});
  if (std::string problem = options.Listen ? "" : ListenProblem(address); !problem.empty()) {
    PrintError(problem);
    return ecUsage;
  }
  const std::string folderPath = options.Folder.value_or(ExecutableFolder());
  TCliOutput output(command.Parser.isSet(command.Json));

  return RunCommand(argc, argv, {SIGINT, SIGTERM}, [&] {
    RequireLinkSettings(CheckLinkSettings(options.Link));
    return std::make_unique<TServeFrontEnd>(output, address, folderPath, options.Link, interval);
  });
}

// ---- send and say: the client page ----

// The client page doing a command's work (connect, send, say) once the event
// loop runs; the loop ends with the work's exit code.
class TClientCommand : public TFrontEnd {
 public:
  using TWork = std::function<int(TForm2& Form, TCliClientView& View)>;
  TClientCommand(TCliOutput& Output, const TListenAddress& Peer, const TLinkSettings& Link,
                 std::optional<double> Interval, TWork Work)
      : FView(Output, Peer.Host, std::to_string(Peer.Port)), FForm(FView) {
    FForm.SetLinkSettings(Link);
    if (Interval)
      FReport = std::make_unique<TIntervalReport>(Output, *Interval, [this, Peer] {
        std::vector<std::pair<std::string, int32_t>> connections;
        if (FForm.udtClient1->Connected()) connections.emplace_back(Peer.Text(), FForm.udtClient1->Handle());
        return connections;
      });
    QMetaObject::invokeMethod(
        &FContext, [this, Work = std::move(Work)] { QCoreApplication::exit(Work(FForm, FView)); },
        Qt::QueuedConnection);
  }
  // Stops a transfer and closes the connection.
  ~TClientCommand() override {
    FReport.reset();
    FClosing.Begin(FForm);
  }
  // What was asked for is left undone: a failure.
  void Quit() override {
    FClosing.Begin(FForm);
    QCoreApplication::exit(ecFailed);
  }

 private:
  QObject FContext;
  TCliClientView FView;
  TForm2 FForm;
  TPagesClosing FClosing;
  std::unique_ptr<TIntervalReport> FReport;
};

// The client page connected to Peer, or the exit code when it cannot be.
std::optional<int> Connect(TForm2& Form, TCliClientView& View, TCliOutput& Output,
                           const TListenAddress& Peer) {
  const size_t before = View.Failures().size();
  Form.Button1Click(nullptr);
  if (Form.udtClient1->Active()) {
    if (!Form.LinkSettings().Empty() && Form.SettingsInForce())
      Output.Line("link settings in force: " + LinkSettingsText(*Form.SettingsInForce()));
    Output.Event({{"event", "settings"}, {"settings", SettingsJson(Form.SettingsInForce())}});
    return std::nullopt;
  }
  std::string reason = View.Failures().size() > before ? Utf16ToUtf8(View.Failures().back()) : "";
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
  const size_t replies = View.Replies().size();
  const size_t failures = View.Failures().size();
  const auto start = std::chrono::steady_clock::now();
  Form.Button2Click(nullptr);
  TExchange e;
  e.Milliseconds =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  const bool replied = View.Replies().size() > replies;
  if (replied) e.Reply = View.Replies().back().Reply;
  e.Ok = Form.udtClient1->Active() && View.Failures().size() == failures && replied &&
         e.Reply == protocol::Reply(View.Replies().back().Message);
  if (!e.Ok)
    e.Failure = View.Failures().size() > failures
                    ? Utf16ToUtf8(View.Failures()[failures])
                    : "the reply was \"" + Utf16ToUtf8(e.Reply) + "\"";
  return e;
}

int Send(int argc, char** argv, const QStringList& Arguments) {
  TCommand command(
      "Sends each FILE to the server at HOST[:PORT] as the client page does, then exchanges one\n"
      "message, whose reply shows the server has taken the whole file. Prints per file: bytes,\n"
      "seconds, MB/s, round-trip time, loss, retransmits and SHA-256. A progress bar goes to\n"
      "standard error when it is a terminal.",
      {{"HOST[:PORT]", QString("The server (port %1 when not given).").arg(protocol::kDefaultPort)},
       {"FILE...", "The files to send, one after another over one connection."}});
  command.Parser.addOptions(command.Link.Options);
  command.Parser.addOption(command.Interval);
  if (auto exit = command.Read(Arguments)) return *exit;
  TLinkSettings link;
  if (auto exit = command.Link.Read(command.Parser, link)) return *exit;
  std::optional<double> interval;
  if (auto exit = command.ReadInterval(interval)) return *exit;
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

  // SIGINT and SIGTERM keep their default: the work may wait in UDT4 for long.
  return RunCommand(argc, argv, {}, [&] {
    RequireLinkSettings(CheckLinkSettings(link));
    return std::make_unique<TClientCommand>(output, *peer, link, interval, [&](TForm2& form, TCliClientView& view) -> int {
      if (auto exit = Connect(form, view, output, *peer)) return *exit;
      for (const QFileInfo& file : files) {
        const std::string path = file.absoluteFilePath().toStdString();
        const std::string name = file.fileName().toStdString();
        const size_t failuresBefore = view.Failures().size();
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
          std::string reason = view.Failures().size() > failuresBefore
                                   ? Utf16ToUtf8(view.Failures()[failuresBefore])
                                   : confirm.Failure;
          if (!refused.empty())
            output.Error(name + " was refused by " + peer->Text() + ": " + Utf16ToUtf8(refused));
          else
            output.Error("the connection to " + peer->Text() + " was cut while sending " + name +
                         " (the server may have refused the file): " + reason);
          return ecFailed;
        }
        // The page measured the transfer and hashed each piece as it went; the
        // file is read again only when it kept no hash of this transfer. The
        // reply says the server holds every byte: the figures run until then.
        form.MeasureLastTransferUntilNow();
        const std::optional<TTransferSummary>& sent = form.LastTransfer();
        TTransferSummary summary;
        if (sent && sent->Name == name) {
          summary = *sent;
        } else {
          summary.Name = name;
          summary.Bytes = file.size();
        }
        if (summary.Sha256.empty()) summary.Sha256 = Sha256OfFile(path);
        output.Line(SummaryLine(summary));
        QJsonObject event = SummaryJson(summary);
        event["settings"] = SettingsJson(form.SettingsInForce());
    AddPacketCounts(*form.udtClient1, true, before, event);
        event["event"] = "sent";
        event["path"] = QString::fromStdString(path);
        event["peer"] = QString::fromStdString(peer->Text());
        output.Event(event);
      }
      return ecSuccess;
    });
  });
}

int Say(int argc, char** argv, const QStringList& Arguments) {
  TCommand command(
      "Sends the time-stamped message TEXT to the server at HOST[:PORT] as the client page's\n"
      "Send does, N times, prints each reply, then the round-trip times in milliseconds:\n"
      "min, median, p99 and max.",
      {{"HOST[:PORT]", QString("The server (port %1 when not given).").arg(protocol::kDefaultPort)},
       {"TEXT", "The message, sent after the time stamp."}});
  const QCommandLineOption count("count", "How many times to send the message (default 1).", "N",
                                 "1");
  command.Parser.addOption(count);
  command.Parser.addOptions(command.Link.Options);
  if (auto exit = command.Read(Arguments)) return *exit;
  TLinkSettings link;
  if (auto exit = command.Link.Read(command.Parser, link)) return *exit;
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

  // SIGINT and SIGTERM keep their default: the work may wait in UDT4 for long.
  return RunCommand(argc, argv, {}, [&] {
    RequireLinkSettings(CheckLinkSettings(link));
    return std::make_unique<TClientCommand>(output, *peer, link, std::nullopt, [&](TForm2& form, TCliClientView& view) -> int {
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
                    {"settings", SettingsJson(form.SettingsInForce())},
                    {"rtt_ms", QJsonObject{{"min", s.Min},
                                           {"median", s.Median},
                                           {"p99", s.P99},
                                           {"max", s.Max}}}});
      return rc;
    });
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
