// A real UDT server for the client tests: a TUDTServer on 127.0.0.1 with a port
// of its own, whose conversations answer every message with "Act: " and the
// message and store requested files in a folder, recording what arrived.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "events.h"
#include "files.h"
#include "ports.h"
#include "server.h"

namespace test_support {

// One unit as the server saw it, in arrival order.
struct ServerUnit {
  int Conversation;      // 1 for the first accepted connection, 2 for the next...
  std::string Kind;      // "message", "request", "size", "name", "stored", "cut", "end"
  std::u16string Text;   // message text or file name
  int64_t Value = 0;     // size field, or bytes stored
};

class TestServer {
 public:
  // Listens on 127.0.0.1, on a port UDT picks; files go to folder.
  explicit TestServer(std::filesystem::path folder);
  // Stops listening, ends every conversation and waits for their threads.
  ~TestServer();
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  bool Listening() const;
  uint16_t Port() const noexcept { return FPort; }
  std::string PortText() const { return std::to_string(FPort); }
  const std::filesystem::path& Folder() const noexcept { return FFolder; }

  // A copy of every unit seen so far.
  std::vector<ServerUnit> Units() const;
  // Waits until pred holds over the units, at most kWaitBound.
  bool WaitUntil(const std::function<bool(const std::vector<ServerUnit>&)>& pred) const;
  // Waits until some unit of the kind is recorded (the count-th one, 1-based).
  bool WaitForKind(const std::string& kind, int count = 1) const;
  int Count(const std::string& kind) const;
  // Messages (text and request) in order.
  std::vector<std::u16string> Messages() const;

 private:
  void Converse(TUDTCustomIpClient* client);
  void Record(ServerUnit unit);

  std::filesystem::path FFolder;
  std::unique_ptr<TUDTServer> FServer;
  uint16_t FPort = 0;
  // Admits conversations while the server lives. Handlers run after the server
  // component has let go of them, so a late one may start during destruction:
  // it holds this gate, not the server, and is turned away once it is closed.
  struct TGate {
    std::mutex Lock;
    std::condition_variable Idle;
    bool Closed = false;
    int Running = 0;
  };
  std::shared_ptr<TGate> FGate = std::make_shared<TGate>();
  std::atomic<bool> FStopping{false};
  mutable std::mutex FLock;  // guards FUnits and FConversations
  mutable std::condition_variable FChanged;
  std::vector<ServerUnit> FUnits;
  int FConversations = 0;
};

}  // namespace test_support
