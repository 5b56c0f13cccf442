// Feeds arbitrary peer bytes to the server's connection handler over a real UDT4
// connection on 127.0.0.1: a peer connects, sends the bytes, closes; the server
// component, in blocking mode, accepts the connection on this thread and runs
// the window logic's handler, UdtServer1Accept, over it until it ends. Frames,
// file requests and file data all go through the same code as in the program.
// Built with libFuzzer (UDTBENCH_FUZZ), or with the replay driver as a test.
#include <arpa/inet.h>
#include <udt/udt.h>

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server.h"
#include "server_form.h"
#include "server_view.h"
#include "udt_h.h"

namespace {

// The largest input worth a connection: a few frames and a file's first pieces.
constexpr size_t kMaxInput = 64 * 1024;

class TSilentView : public IServerView {
 public:
  std::u16string EditText(TServerEdit) const override { return {}; }
  void SetButtonEnabled(TServerButton, bool) override {}
  void AppendLog(const std::u16string&) override {}
  void ClearLog() override {}
  void ShowOtherWindows() override {}
};

struct THarness {
  int argc = 1;
  char name[16] = "handler_fuzzer";
  char* argv[2] = {name, nullptr};
  QCoreApplication app{argc, argv};
  TUDTSocketServices services;
  QTemporaryDir folder;
  TSilentView view;
  TForm1 form{view, "0"};
  TUDTServer server{nullptr};
  uint16_t port = 0;

  THarness() {
    form.SetReceiveFolder(folder.path().toStdString());
    server.SetBlockMode(bmBlocking);
    server.SetLocalHost("127.0.0.1");
    server.SetLocalPort("0");
    server.OnAccept = [this](TObject* Sender, TUDTCustomIpClient* ClientSocket) {
      form.UdtServer1Accept(Sender, ClientSocket);
    };
    server.Open();
    sockaddr_in a{};
    int len = sizeof a;
    if (server.Listening() && UDT::getsockname(server.Handle(), reinterpret_cast<sockaddr*>(&a), &len) == 0)
      port = ntohs(a.sin_port);
    if (port == 0) {
      std::fprintf(stderr, "handler_fuzzer: the server did not listen\n");
      std::abort();
    }
  }
};

THarness* g_harness = nullptr;

// UDT4 hands a new connection to its receiving thread on that thread's next
// pass, within about 10 ms; a data packet that arrives earlier is dropped and
// sent again only when the sender's 300 ms timer expires. Waiting this long after
// connecting is not needed for correctness, only for the rate of executions.
constexpr std::chrono::milliseconds kRegistration{15};

// Sends the bytes as a peer and closes; the close waits until the server's
// side holds them, which also proves UDT4 has registered the connection there,
// so the peer's shutdown cannot be lost.
bool SendAsPeer(uint16_t port, const uint8_t* data, size_t size) {
  UDTSOCKET s = UDT::socket(AF_INET, SOCK_STREAM, 0);
  int ms = 10000;
  UDT::setsockopt(s, 0, UDT_SNDTIMEO, &ms, sizeof ms);
  linger l{1, 10};
  UDT::setsockopt(s, 0, UDT_LINGER, &l, sizeof l);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  bool ok = UDT::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  std::this_thread::sleep_for(kRegistration);
  size_t sent = 0;
  while (ok && sent < size) {
    int r = UDT::send(s, reinterpret_cast<const char*>(data) + sent, static_cast<int>(size - sent), 0);
    if (r <= 0) ok = false;
    else sent += static_cast<size_t>(r);
  }
  UDT::close(s);
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!g_harness) g_harness = new THarness;  // lives for the whole run
  // A conversation needs at least one byte to tell the peer's close from a
  // connection UDT4 has not yet registered.
  if (size == 0 || size > kMaxInput) return 0;
  if (!SendAsPeer(g_harness->port, data, size)) {
    std::fprintf(stderr, "handler_fuzzer: the peer could not send its bytes\n");
    std::abort();
  }
  // Accepts the pending connection and runs the conversation on this thread.
  g_harness->server.Accept();
  QCoreApplication::processEvents();
  // Received files go, so the folder does not fill up over a long run.
  QDir folder(g_harness->folder.path());
  for (const QString& n : folder.entryList(QDir::Files | QDir::Hidden | QDir::System)) folder.remove(n);
  return 0;
}
