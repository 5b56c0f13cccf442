// TServerConversation: the server's side of the exchange over one accepted
// connection, without a window: it answers every message, receives each file
// the client sends, and reports what happens as events. TConversations keeps
// the conversations that are running, so they can be ended together.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "custom_ip_client.h"
#include "exchange_protocol.h"
#include "link_statistics.h"
#include "server_view.h"

class TConversations;
class TReceivedFile;
class TTransferMeter;

// What one file request stored: the name the client sent, the path of what was
// kept (empty when nothing was), the announced size, whether the file came
// whole, and the transfer's summary (its SHA-256 empty when nothing was kept).
struct TFileReceipt {
  std::u16string Name;
  std::string Path;
  int32_t Announced = 0;
  bool Complete = false;
  TTransferSummary Summary;
};

// One conversation over an accepted connection, run on its worker thread.
class TServerConversation {
 public:
  // What the conversation reports, on its worker thread. Each is empty until set.
  struct TEvents {
    // A line of the log about this conversation.
    std::function<void(const TServerLogLine& Line)> OnLog;
    // The summary of one file request, for the table of received files.
    std::function<void(const TTransferSummary& Summary)> OnTransfer;
    // A received file has been closed, complete or cut, while the connection still exists.
    std::function<void(const TFileReceipt& Receipt)> OnFileReceived;
  };

  // A conversation over ClientSocket, storing each file in the folder Folder
  // gives at its request, and counted in Conversations (when given) while it
  // receives one. ClientSocket and Conversations must outlive it.
  TServerConversation(TUDTCustomIpClient& ClientSocket, std::function<std::string()> Folder,
                      TEvents Events, TConversations* Conversations = nullptr);
  TServerConversation(const TServerConversation&) = delete;
  TServerConversation& operator=(const TServerConversation&) = delete;

  // Runs the conversation: "Accpet connection", then one message after the
  // other until the connection ends, its worker is told to stop, or a failure
  // breaks a message off; then "Work thread Terminated".
  void Run();
  // File data is received in calls of at most Block bytes (1 to kMaxBlock),
  // whatever size the client sends; the protocol's piece size unless set.
  void SetBlock(int32_t Block) noexcept { FBlock = Block; }

 private:
  // Reports "<%s: %s> %s" with the peer's host and port.
  void PostInfo(const std::u16string& Msg);
  // Receives one file after the file request: size, name, data.
  void ReceiveFile();
  // Reports how the reception of File ended, keeping a cut transfer's bytes
  // under the partial name first: its log line, its row and its receipt.
  void ReportFile(TReceivedFile& File, int32_t Size, TTransferMeter& Meter);
  // Reports the row of one file request, and returns it.
  TTransferSummary ReportTransfer(const std::u16string& Name, TTransferMeter& Meter,
                                  TTransferOutcome Outcome);

  TUDTCustomIpClient& FClientSocket;
  const std::function<std::string()> FFolder;
  const TEvents FEvents;
  TConversations* const FConversations;
  int32_t FBlock = protocol::kPieceSize;
};

// The conversations running on a server's workers, and whether new ones may begin.
class TConversations {
 public:
  // Admits a conversation and records its connection; false once closed. Any thread.
  bool Enter(TUDTCustomIpClient* ClientSocket);
  void Leave(TUDTCustomIpClient* ClientSocket);
  // Admits no more conversations and closes the connection of each running
  // one, without waiting for the closes to complete. Any thread.
  void CloseAll();
  // A conversation begins or ends receiving a file. Its worker thread.
  void EnterFile();
  void LeaveFile();
  int Receiving() const { return FReceiving.load(); }
  // Waits up to Timeout until no conversation runs; true when none does.
  bool WaitIdle(std::chrono::milliseconds Timeout);
  // Waits until no conversation runs, however long that takes.
  void WaitIdle();
  int Count() const;
  // UDT handles of the running conversations. Any thread.
  std::vector<int32_t> Handles() const;

 private:
  // Closes Handle at once, dropping what its peer has not acknowledged.
  static void CloseWithoutLinger(int32_t Handle) noexcept;
  std::atomic<int> FReceiving{0};
  mutable std::mutex FLock;  // guards everything below
  std::condition_variable FIdle;
  bool FClosed = false;
  std::vector<int32_t> FHandles;  // UDT handles of the running conversations
};

// A received name as it can stand in one log line: control characters as \xNN.
std::u16string Printable(const std::u16string& Name);
