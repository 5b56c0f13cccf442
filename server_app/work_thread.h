// TWorkThread: the server application's pooled worker, which carries each log
// line of its conversations to the main thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "main_thread_queue.h"
#include "server_socket_thread.h"
#include "server_view.h"

// A pooled worker of the server window's server. Besides serving connections
// like its base, it remembers the log line it posted last (FInfo) and hands
// each line to the main thread without waiting.
class TWorkThread : public TUDTClientSocketThread {
 public:
  // Appends one line to the server log; called on the main thread only.
  using TAppendLine = std::function<void(const TServerLogLine& Line)>;

  // Created not running, freeing itself when done, for the dispatcher that asks;
  // its lines travel through Queue and are appended by AppendLine. Any thread.
  TWorkThread(TUDTServerSocketThread* ServerSocketThread, std::shared_ptr<TMainThreadQueue> Queue,
              TAppendLine AppendLine);

  // Sets FInfo to the text of Line and queues SyncHook's append of a copy of
  // Line on the main thread; returns at once. This worker's thread only.
  void PostLine(const TServerLogLine& Line);
  // The line posted last. This worker's thread only.
  const std::u16string& Info() const noexcept { return FInfo; }

 protected:
  // Appends FInfo to the server log. Main thread, while this worker waits in
  // ExecuteSyncProc; PostLine runs the same append on a copy instead.
  void SyncHook() override;

 private:
  std::u16string FInfo;
  const std::shared_ptr<TMainThreadQueue> FQueue;
  const TAppendLine FAppendLine;
};
