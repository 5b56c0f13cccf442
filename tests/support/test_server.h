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

#include "server.h"

namespace client_test {

// The bound of every wait in these tests; a hang fails after it with a message.
inline constexpr std::chrono::milliseconds kWaitBound{20000};

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
  std::atomic<bool> FStopping{false};
  mutable std::mutex FLock;  // guards FUnits, FConversations, FRunning
  mutable std::condition_variable FChanged;
  std::vector<ServerUnit> FUnits;
  int FConversations = 0;
  int FRunning = 0;
};

// Polls pred while letting Qt events run, at most bound; true when it held.
bool WaitWithEvents(const std::function<bool()>& pred,
                    std::chrono::milliseconds bound = kWaitBound);

// Writes a file of n bytes with a position-dependent pattern; returns its content.
std::string WriteFile(const std::filesystem::path& path, size_t n, unsigned seed = 0);
std::string ReadFile(const std::filesystem::path& path);

// A fresh folder under the system's temporary folder, removed with the object.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& Path() const noexcept { return FPath; }

 private:
  std::filesystem::path FPath;
};

// Collects the debug output lines for the life of the object.
class DebugLines {
 public:
  DebugLines();
  ~DebugLines();
  std::vector<std::u16string> Lines() const;

 private:
  mutable std::mutex FLock;
  std::vector<std::u16string> FLines;
};

// A UDP port on 127.0.0.1 where nothing listens at the moment.
uint16_t UnusedPort();

}  // namespace client_test
