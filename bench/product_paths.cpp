#include "product_paths.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "app_support.h"
#include "client_window.h"
#include "custom_ip_client.h"
#include "exchange_protocol.h"
#include "file_stream.h"
#include "server_window.h"
#include "sysutils.h"

namespace bench {
namespace {

constexpr auto kBound = std::chrono::seconds(120);

// The client window with its file dialog answered by a fixed path and its
// error display recorded instead of shown.
class TBenchClientWindow : public TClientWindow {
 public:
  std::u16string File;
  std::u16string Error;

  bool ExecuteOpenDialog(std::u16string& path) override {
    path = File;
    return true;
  }
  void ShowError(const std::u16string& text) override { Error = text; }

  void SetEdit(const char* name, const QString& text) {
    if (auto* e = findChild<QLineEdit*>(name)) e->setText(text);
  }
  QPlainTextEdit* Log() { return findChild<QPlainTextEdit*>("Memo1"); }
};

// Sends the process's standard error, where the debug output goes, to a file
// in folder for as long as it lives, so the program's own way of writing it is
// what is measured.
class TDebugFile {
 public:
  explicit TDebugFile(const std::string& folder)
      : FPath(folder + "/debug-output.txt"), FSaved(::dup(2)) {
    std::fflush(stderr);
    const int fd = ::open(FPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
      ::dup2(fd, 2);
      ::close(fd);
    }
  }
  ~TDebugFile() {
    std::fflush(stderr);
    if (FSaved >= 0) {
      ::dup2(FSaved, 2);
      ::close(FSaved);
    }
  }
  TDebugFile(const TDebugFile&) = delete;
  TDebugFile& operator=(const TDebugFile&) = delete;

  const std::string& Path() const noexcept { return FPath; }

 private:
  std::string FPath;
  int FSaved;
};

// The server window, counting the lines handed to its log and the times its
// log view has laid out new text.
class TBenchServerWindow : public TServerWindow {
 public:
  explicit TBenchServerWindow(uint16_t port, const TLinkSettings& Link = {})
      : TServerWindow(nullptr, std::to_string(port), protocol::kListenHost, Link) {
    SetErrorDisplay([](const std::u16string&) {});
    QObject::connect(Memo1(), &QPlainTextEdit::textChanged, [this] { ++Shown; });
  }
  void AppendLog(const std::u16string& Line) override {
    ++Lines;
    LastLineAt = Clock::now();
    TServerWindow::AppendLog(Line);
  }
  int Lines = 0;
  Clock::time_point LastLineAt;
  int Shown = 0;
};

// Runs events until pred holds or bound passes. The main thread sleeps between
// events, as in the program's event loop; a timer wakes it to look at state
// that other threads change without posting anything.
template <class Pred>
bool RunEventsUntil(Pred pred, std::chrono::milliseconds bound = kBound) {
  const auto until = Clock::now() + bound;
  QTimer wake;
  wake.start(10);
  while (!pred()) {
    if (Clock::now() >= until) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

struct TConnectedPair {
  uint16_t port = FreeUdpPort();
  TBenchServerWindow server;
  TBenchClientWindow client;

  explicit TConnectedPair(const TLinkSettings& Link = {}) : server(port, Link) {
    client.Form().SetLinkSettings(Link);
    client.SetEdit("Edit3", QStringLiteral("127.0.0.1"));
    client.SetEdit("Edit2", QString::number(port));
  }
  // Opens the client and waits until the server has logged the accept.
  bool Connect() {
    client.Form().Button1Click(nullptr);
    return client.Form().udtClient1->Connected() &&
           RunEventsUntil([this] { return server.Lines >= 1; });
  }
};

}  // namespace

Report ProductFileRun(const std::string& source, const std::string& folder, int64_t size,
                      const TLinkSettings& Link) {
  Report r;
  TDebugFile debug(folder);
  TConnectedPair pair(Link);
  pair.server.Form().SetReceiveFolder(folder);
  pair.client.File = Utf8ToUtf16(source);
  if (!pair.Connect()) {
    r["ok"] = "0";
    return r;
  }
  auto* log = pair.client.Log();
  const double cpu0 = ProcessCpuSeconds();
  const auto t0 = Clock::now();
  pair.client.Form().btnSendFileClick(nullptr);
  pair.client.Form().Button2Click(nullptr);
  const double seconds = SecondsSince(t0);
  const double cpu = ProcessCpuSeconds() - cpu0;
  const std::string name = source.substr(source.find_last_of('/') + 1);
  QCoreApplication::processEvents();
  const bool replied = log && log->toPlainText().endsWith(QStringLiteral("edtContent"));
  r["ok"] = replied && pair.client.Error.empty() && FileSize(folder + "/" + name) == size ? "1" : "0";
  r["seconds"] = std::to_string(seconds);
  r["cpu"] = std::to_string(cpu);
  r["mbps"] = std::to_string(size / 1e6 / seconds);
  return r;
}

Report ProductTextRun(int roundTrips) {
  Report r;
  TConnectedPair pair;
  if (!pair.Connect()) {
    r["ok"] = "0";
    return r;
  }
  std::vector<double> micros, replyMicros, shownMicros;
  micros.reserve(static_cast<size_t>(roundTrips));
  replyMicros.reserve(static_cast<size_t>(roundTrips));
  shownMicros.reserve(static_cast<size_t>(roundTrips));
  bool ok = RunEventsUntil([&] { return pair.server.Shown >= 1; });
  for (int i = 0; ok && i < roundTrips; ++i) {
    const int lines = pair.server.Lines;
    const int shown = pair.server.Shown;
    const auto t0 = Clock::now();
    pair.client.Form().Button2Click(nullptr);
    replyMicros.push_back(SecondsSince(t0) * 1e6);
    ok = RunEventsUntil([&] { return pair.server.Lines > lines; });
    micros.push_back(std::chrono::duration<double, std::micro>(pair.server.LastLineAt - t0).count());
    ok = ok && RunEventsUntil([&] { return pair.server.Shown > shown; });
    shownMicros.push_back(SecondsSince(t0) * 1e6);
  }
  // Whatever the views still have queued.
  QCoreApplication::processEvents();
  auto* log = pair.client.Log();
  ok = ok && log && log->blockCount() >= roundTrips &&
       log->toPlainText().endsWith(QStringLiteral("edtContent"));
  const Summary sum = Summarize(micros);
  r["ok"] = ok ? "1" : "0";
  r["median_us"] = std::to_string(sum.median);
  r["p99_us"] = std::to_string(sum.p99);
  r["median_reply_us"] = std::to_string(Summarize(replyMicros).median);
  const Summary shownSum = Summarize(shownMicros);
  r["median_shown_us"] = std::to_string(shownSum.median);
  r["p99_shown_us"] = std::to_string(shownSum.p99);
  return r;
}

Report ProductMultiRun(const std::string& source, const std::string& folder, int clients,
                       int64_t bytesEach) {
  const uint16_t port = FreeUdpPort();
  TBenchServerWindow server(port);
  server.Form().SetReceiveFolder(folder);

  std::vector<std::unique_ptr<TUDTClient>> connections;
  for (int i = 0; i < clients; ++i) {
    auto c = std::make_unique<TUDTClient>(nullptr);
    c->SetRemoteHost("127.0.0.1");
    c->SetRemotePort(std::to_string(port));
    c->Open();
    connections.push_back(std::move(c));
  }
  std::atomic<int> done{0};
  std::atomic<int> sent{0};
  std::vector<std::string> failures(static_cast<size_t>(clients));
  const double cpu0 = ProcessCpuSeconds();
  const auto t0 = Clock::now();
  std::vector<std::thread> senders;
  for (int i = 0; i < clients; ++i) {
    senders.emplace_back([&, i] {
      TUDTClient& c = *connections[static_cast<size_t>(i)];
      std::u16string reply;
      std::string& failure = failures[static_cast<size_t>(i)];
      c.OnError = [&failure](TObject*, int32_t code, const char* text) {
        if (failure.empty()) failure = std::to_string(code) + " " + (text ? text : "");
      };
      bool ok = c.Connected() && c.SendString(std::u16string(protocol::kFileRequest)) > 0 && c.ReceiveString(reply) > 0;
      if (!ok && failure.empty()) failure = c.Connected() ? "request" : "not connected";
      const int32_t size = static_cast<int32_t>(bytesEach);
      ok = ok && c.SendBuf(&size, 4, 0) == 4 &&
           c.SendString(u"multi" + Utf8ToUtf16(std::to_string(i)) + u".bin") > 0;
      TFileStream file(source);
      char piece[protocol::kPieceSize];
      int64_t total = 0;
      while (ok && total < bytesEach) {
        int32_t n = file.Read(piece, static_cast<int32_t>(
                                         std::min<int64_t>(protocol::kPieceSize, bytesEach - total)));
        if (n <= 0) break;
        for (int32_t off = 0; ok && off < n;) {
          int32_t k = c.SendBuf(piece + off, n - off, 0);
          ok = k > 0;
          off += k;
        }
        total += n;
      }
      ok = ok && total == bytesEach && c.SendString(u"done") > 0 && c.ReceiveString(reply) > 0;
      if (ok) ++sent;
      ++done;
    });
  }
  RunEventsUntil([&] { return done.load() == clients; });
  const double seconds = SecondsSince(t0);
  const double cpu = ProcessCpuSeconds() - cpu0;
  for (auto& t : senders) t.join();
  connections.clear();
  Report r;
  r["ok"] = sent == clients ? "1" : "0";
  r["seconds"] = std::to_string(seconds);
  r["cpu"] = std::to_string(cpu);
  r["mbps"] = std::to_string(bytesEach * clients / 1e6 / seconds);
  for (int i = 0; i < clients; ++i)
    if (!failures[static_cast<size_t>(i)].empty())
      r["failure" + std::to_string(i)] = failures[static_cast<size_t>(i)];
  return r;
}

Report ProductFileClient(uint16_t port, const std::string& source, const std::string& folder,
                         int64_t size) {
  Report r;
  TDebugFile debug(folder);
  TBenchClientWindow client;
  client.SetEdit("Edit3", QStringLiteral("127.0.0.1"));
  client.SetEdit("Edit2", QString::number(port));
  client.File = Utf8ToUtf16(source);
  client.Form().Button1Click(nullptr);
  if (!client.Form().udtClient1->Connected()) {
    r["ok"] = "0";
    return r;
  }
  auto* log = client.Log();
  const double cpu0 = ProcessCpuSeconds();
  const auto t0 = Clock::now();
  client.Form().btnSendFileClick(nullptr);
  client.Form().Button2Click(nullptr);
  const double seconds = SecondsSince(t0);
  const double cpu = ProcessCpuSeconds() - cpu0;
  QCoreApplication::processEvents();
  const bool replied = log && log->toPlainText().endsWith(QStringLiteral("edtContent"));
  r["ok"] = replied && client.Error.empty() ? "1" : "0";
  r["seconds"] = std::to_string(seconds);
  r["cpu"] = std::to_string(cpu);
  r["mbps"] = std::to_string(size / 1e6 / seconds);
  return r;
}

int ProductServerProcess(uint16_t port, const std::string& folder) {
  TBenchServerWindow server(port);
  if (!folder.empty()) server.Form().SetReceiveFolder(folder);
  if (!server.Form().UdtServer1()->Active()) return 1;
  std::printf("ready=1\n");
  std::fflush(stdout);
  return QApplication::exec();
}

}  // namespace bench
