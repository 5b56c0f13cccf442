// TForm1: the server window's logic. It owns the server component UdtServer1,
// runs every conversation the server accepts, and drives its window through
// IServerView, so it runs the same with or without a screen.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "exchange_protocol.h"
#include "main_thread_queue.h"
#include "memory_release.h"
#include "received_file.h"
#include "server.h"
#include "server_view.h"
#include "transfer_meter.h"

// What one file request stored: the name the client sent, the path of what was
// kept (empty when nothing was), the announced size, the bytes stored, the time
// from the name to the last byte, and whether the file came whole.
struct TFileReceipt {
  std::u16string Name;
  std::string Path;
  int32_t Announced = 0;
  int64_t Stored = 0;
  double Seconds = 0;
  bool Complete = false;
  // The SHA-256 of the kept bytes, hashed as they arrived; empty when nothing
  // was kept or hashing is off.
  std::string Sha256;
};

// The server window's logic. Window handlers run on the main thread; the
// connection handler and its helpers run on the server's threads.
class TForm1 {
 public:
  // Fired on the worker thread when a received file has been closed, complete
  // or cut, while its connection still exists. Empty until set; set it before
  // the server opens.
  std::function<void(TUDTCustomIpClient& ClientSocket, const TFileReceipt& Receipt)>
      OnFileReceived;

  // Builds the logic and UdtServer1, closed, with the stored local port
  // LocalPort and an empty local host. Main thread; View must outlive the form.
  explicit TForm1(IServerView& View, const TSocketPort& LocalPort = protocol::kDefaultPort);
  // Closes the server, ends every conversation and waits for their handlers to
  // return; lines still on their way to the log are dropped. Main thread.
  ~TForm1();
  TForm1(const TForm1&) = delete;
  TForm1& operator=(const TForm1&) = delete;

  // Window creation: activates UdtServer1 on its stored settings, then updates the buttons.
  void FormCreate();
  // Reopens UdtServer1 on the address and port of the edits. May throw (a port
  // that is neither a service name nor a number); the server is then active but
  // not listening.
  void actOpenExecute();
  // Closes UdtServer1; conversations under way go on until the client's next message.
  void actCloseExecute();
  // Enables btnOpen exactly when UdtServer1 is not active, btnClose exactly when it is.
  void actCloseUpdate();
  // Empties the server log.
  void Memo1DblClick();
  // Shows every other window of the application.
  void Button1Click();

  // The connection handler: runs the whole conversation of one accepted
  // connection and returns when it ends. The connection's worker thread.
  void UdtServer1Accept(TObject* Sender, TUDTCustomIpClient* ClientSocket);
  // Gives the dispatcher that asks a new TWorkThread of its own. Dispatcher thread.
  void UdtServer1GetThread(TObject* Sender, TUDTClientSocketThread*& ClientSocketThread);
  // Error handler of every accepted connection: one line to the debug output and
  // one to the server log. The thread whose call on the connection failed.
  void ClientSocketError(TObject* Sender, int32_t SocketError, const char* ErrorDesc);

  // The link settings the server listens with from its next open on; accepted
  // connections inherit them from the listener, and receive file data in
  // blocks of Settings.Block (the protocol's piece size when not given),
  // whatever size the client sends. Main thread, before or between opens.
  void SetLinkSettings(const TLinkSettings& Settings);
  // Bytes of file data per receive call. Any thread.
  int32_t Block() const noexcept { return FBlock.load(); }
  // UDT handles of the connections whose conversation runs now. Any thread.
  std::vector<int32_t> ConversationHandles() const;

  // The server component. Its properties belong to the main thread.
  TUDTServer* UdtServer1() const noexcept { return FUdtServer1.get(); }

  // The folder received files are stored in: the executable's folder unless set. Any thread.
  std::string ReceiveFolder() const;
  void SetReceiveFolder(const std::string& Folder);

  // Closes the server and the connection of every conversation, which ends
  // them at once, then waits up to Timeout for their handlers to return. True
  // when none is left. Conversations accepted later end as soon as they begin.
  // Main thread.
  bool Shutdown(std::chrono::milliseconds Timeout);
  // Number of conversations whose handler is running. Any thread.
  int ConversationCount() const;
  // Number of times memory freed by ended conversations was given back. Main thread.
  int MemoryReleases() const noexcept { return FMemoryRelease.Releases(); }

 private:
  // The conversations running on the server's workers, and whether new ones may begin.
  class TConversations {
   public:
    // Admits a conversation and records its connection; false once closed. Any thread.
    bool Enter(TUDTCustomIpClient* ClientSocket);
    void Leave(TUDTCustomIpClient* ClientSocket);
    // Admits no more conversations and closes the connection of each running one. Any thread.
    void CloseAll();
    // Waits up to Timeout until no conversation runs; true when none does.
    bool WaitIdle(std::chrono::milliseconds Timeout);
    // Waits until no conversation runs, however long that takes.
    void WaitIdle();
    int Count() const;
    std::vector<int32_t> Handles() const;

   private:
    mutable std::mutex FLock;  // guards everything below
    std::condition_variable FIdle;
    bool FClosed = false;
    std::vector<int32_t> FHandles;  // UDT handles of the running conversations
  };

  // Formats "<%s: %s> %s" with the peer's host and port and posts it. Worker thread.
  void PostInfo(TUDTCustomIpClient& ClientSocket, const std::u16string& Msg);
  // Hands Line to the main thread through Worker, the worker running the calling thread.
  void PostLine(TUDTClientSocketThread* Worker, const std::u16string& Line);
  // Appends a posted line to the log. Main thread.
  void AppendPostedLine(const std::u16string& Line);
  // Receives one file after the file request: size, name, data. Worker thread.
  void ReceiveFile(TUDTCustomIpClient& ClientSocket);
  // Posts how the reception of File ended, keeping a cut transfer's bytes
  // under the partial name first. Worker thread.
  void PostFileOutcome(TUDTCustomIpClient& ClientSocket, TReceivedFile& File, int32_t Size);
  // Hands the row of one file request to the view's table, and returns it. Worker thread.
  TTransferSummary PostTransfer(TUDTCustomIpClient& ClientSocket, const std::u16string& Name,
                                TTransferMeter& Meter, TTransferOutcome Outcome);

  IServerView& FView;
  const std::shared_ptr<TMainThreadQueue> FQueue;
  // Returns what ended conversations freed to the system. Main thread.
  TMemoryRelease FMemoryRelease;
  const std::shared_ptr<TConversations> FConversations;
  mutable std::mutex FFolderLock;  // guards FReceiveFolder
  std::string FReceiveFolder;
  std::unique_ptr<TUDTServer> FUdtServer1;
  std::atomic<int32_t> FBlock{protocol::kPieceSize};
};
