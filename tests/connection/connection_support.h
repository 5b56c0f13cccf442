// Helpers for the connection tests: servers on free loopback ports, clients
// with bounded blocking calls, and a hub that runs conversations inside a
// server's accept event until the test lets them end.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "custom_ip_client.h"
#include "event_log.h"
#include "ports.h"
#include "raw_udt.h"
#include "server.h"
#include "server_socket_thread.h"
#include "thread.h"
#include "wait.h"

namespace connection_test {

using namespace test_support;

// How long a test watches for something that must not happen.
inline constexpr std::chrono::milliseconds kQuietSpell{400};

using Clock = std::chrono::steady_clock;

// A client aimed at 127.0.0.1:port, not yet connected.
std::unique_ptr<TUDTClient> MakeClient(uint16_t port);

// Connects a client to 127.0.0.1:port with bounded blocking calls; none on failure.
std::unique_ptr<TUDTClient> ConnectClient(uint16_t port);

// Sends text as a string frame and checks that "Act: " + text comes back.
::testing::AssertionResult Echo(TUDTCustomIpClient& client, const std::u16string& text);

// Answers one string frame with "Act: " + text; false when that failed.
bool AnswerOnce(TUDTCustomIpClient& c);

// True once the peer has gone: a wait for data reports the connection dead.
bool PeerGone(TUDTCustomIpClient& client, std::chrono::milliseconds bound = kWaitBound);

// What a conversation looked like when its accept event started, and how it went.
struct ConversationInfo {
  int Index = -1;
  TObject* Sender = nullptr;
  TUDTCustomIpClient* Client = nullptr;  // valid only until Ended
  TUDTClientSocketThread* Worker = nullptr;
  std::thread::id Thread;
  std::string RemoteHost;
  std::string RemotePort;
  bool Active = false;
  bool Connected = false;
  TSocketBlockMode BlockMode = bmBlocking;
  bool WorkerTerminatedAtStart = false;
  bool SawWorkerTerminated = false;
  bool Ended = false;
};

// Runs conversations inside OnAccept: each one echoes string frames ("Act: " +
// text) until the test releases it or its peer goes. Safe on any thread; the
// handler keeps the hub's state alive, so a worker that outlives a failed test
// never touches freed memory.
class ConversationHub {
 public:
  // Runs on the worker before the echo loop, with the conversation's index; may throw.
  using TBeforeServe = std::function<void(int Index, TUDTCustomIpClient* Client)>;

  ConversationHub();
  // The accept handler to install on a server.
  TSocketAcceptEvent Handler() const;
  // Set before the first connection arrives.
  void SetBeforeServe(TBeforeServe f);

  int Count() const;
  // Waits until at least n conversations have started.
  bool WaitForCount(int n, std::chrono::milliseconds bound = kWaitBound) const;
  bool WaitEnded(int index, std::chrono::milliseconds bound = kWaitBound) const;
  bool WaitSawTerminated(int index, std::chrono::milliseconds bound = kWaitBound) const;
  ConversationInfo Info(int index) const;
  // The conversation whose peer uses this local port, or -1.
  int IndexOfPeerPort(uint16_t port) const;
  void Release(int index);
  // Ends every conversation, now and later.
  void ReleaseAll();

 private:
  struct State;
  std::shared_ptr<State> FState;
};

// Every test starts with no thread of the library running and checks that its
// own threads have all finished when it ends, its server freed first.
class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Makes Server on 127.0.0.1 at a port UDT picks, its conversations run by
  // Hub; not open yet. Set now: changing them later closes the server, which
  // drops a dispatcher that a test prepared before opening.
  void MakeServer();

  ConversationHub Hub;
  std::unique_ptr<TUDTServer> Server;
  uint16_t Port = 0;
};

}  // namespace connection_test
