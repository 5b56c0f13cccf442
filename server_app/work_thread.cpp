#include "work_thread.h"

#include <utility>

TWorkThread::TWorkThread(TUDTServerSocketThread* ServerSocketThread,
                         std::shared_ptr<TMainThreadQueue> Queue, TAppendLine AppendLine)
    : TUDTClientSocketThread(ServerSocketThread),
      FQueue(std::move(Queue)),
      FAppendLine(std::move(AppendLine)) {}

void TWorkThread::PostLine(const TServerLogLine& Line) {
  FInfo = Line.Line();
  // The request carries its own copy: this worker may post again, or be gone,
  // before the main thread gets to it.
  if (FQueue && FAppendLine) FQueue->Post([append = FAppendLine, Line] { append(Line); });
}

void TWorkThread::SyncHook() {
  TUDTClientSocketThread::SyncHook();
  if (FAppendLine) FAppendLine({{}, {}, FInfo, false});
}
