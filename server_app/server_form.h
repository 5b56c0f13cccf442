// TForm1: the server window's logic. It owns the server component UdtServer1,
// runs every conversation the server accepts, and drives its window through
// IServerView, so it runs the same with or without a screen.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "exchange_protocol.h"
#include "main_thread_queue.h"
#include "memory_release.h"
#include "server.h"
#include "server_conversation.h"
#include "server_view.h"

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
  // Number of conversations receiving a file right now. Any thread.
  int ReceivingCount() const;
  // Number of times memory freed by ended conversations was given back. Main thread.
  int MemoryReleases() const noexcept { return FMemoryRelease.Releases(); }

 private:
  // Hands Line to the main thread through Worker, the worker running the calling thread.
  void PostLine(TUDTClientSocketThread* Worker, const TServerLogLine& Line);
  // Appends a posted line to the log. Main thread.
  void AppendPostedLine(const TServerLogLine& Line);

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
