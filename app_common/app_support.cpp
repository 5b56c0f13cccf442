#include "app_support.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>
#include <new>

#include "sysutils.h"
#include "thread.h"

namespace {

std::mutex g_sinkLock;
std::function<void(const std::u16string&)> g_sink;

// Writes all of text to standard error.
void WriteStandardError(const std::string& text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

// The debug output on standard error. Lines gather in memory and go out whole
// and in order: at the latest kFlushDelay after the first of them, at once when
// kFlushSize bytes have gathered, and at exit. A file sender writes one line per
// 2 KiB piece; one write call per line cost as much as the piece's own send.
class TDebugOutput {
 public:
  static constexpr auto kFlushDelay = std::chrono::milliseconds(20);
  static constexpr size_t kFlushSize = 64 * 1024;

  static TDebugOutput& Instance() {
    // Never destroyed: lines may come from static destructors; exit flushes.
    static TDebugOutput* output = [] {
      auto* o = new TDebugOutput;
      std::atexit([] { Instance().Stop(); });
      return o;
    }();
    return *output;
  }

  void Write(std::string line) {
    std::unique_lock<std::mutex> g(FLock);
    const bool first = FPending.empty();
    FPending += line;
    if (FStopped) {
      // At exit: no more batches.
      g.unlock();
      Flush();
      return;
    }
    const bool full = FPending.size() >= kFlushSize;
    if (!FFlusher.joinable()) FFlusher = std::thread([this] { Run(); });
    g.unlock();
    if (first) FWake.notify_one();
    if (full) Flush();
  }

  // Writes what has gathered. Flushes take their turn, so lines keep their order.
  void Flush() {
    std::lock_guard<std::mutex> turn(FWriteLock);
    std::string text;
    {
      std::lock_guard<std::mutex> g(FLock);
      text.swap(FPending);
    }
    WriteStandardError(text);
  }

 private:
  TDebugOutput() = default;

  void Run() {
    std::unique_lock<std::mutex> g(FLock);
    while (!FStopped) {
      FWake.wait(g, [this] { return FStopped || !FPending.empty(); });
      // Lines that follow within the delay go out with the first.
      FWake.wait_for(g, kFlushDelay, [this] { return FStopped; });
      g.unlock();
      Flush();
      g.lock();
    }
  }

  void Stop() {
    std::thread flusher;
    {
      std::lock_guard<std::mutex> g(FLock);
      FStopped = true;
      flusher.swap(FFlusher);
    }
    FWake.notify_all();
    if (flusher.joinable()) flusher.join();
    Flush();
  }

  std::mutex FLock;  // guards FPending, FStopped and FFlusher
  std::mutex FWriteLock;
  std::condition_variable FWake;
  std::string FPending;
  bool FStopped = false;
  std::thread FFlusher;
};

std::function<void(const std::u16string&)> CurrentSink() {
  std::lock_guard<std::mutex> g(g_sinkLock);
  return g_sink;
}

std::filesystem::path OwnExecutable() {
  std::error_code ec;
  std::filesystem::path p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : p;
}

}  // namespace

std::string ExecutableFolder() { return OwnExecutable().parent_path().string(); }

std::string ExecutableName() { return OwnExecutable().filename().string(); }

void OutputDebugString(const std::u16string& line) {
  if (auto sink = CurrentSink()) {
    sink(line);
    return;
  }
  std::string text = Utf16ToUtf8(line);
  text.push_back('\n');
  TDebugOutput::Instance().Write(std::move(text));
}

void OutputDebugString(std::string Utf8Line) {
  if (auto sink = CurrentSink()) {
    sink(Utf8ToUtf16(Utf8Line));
    return;
  }
  Utf8Line.push_back('\n');
  TDebugOutput::Instance().Write(std::move(Utf8Line));
}

void FlushDebugOutput() { TDebugOutput::Instance().Flush(); }

void SetDebugOutputSink(std::function<void(const std::u16string&)> sink) {
  std::lock_guard<std::mutex> g(g_sinkLock);
  g_sink = std::move(sink);
}

void PostToMainThread(QObject* context, std::function<void()> work) {
  if (!context) return;
  QMetaObject::invokeMethod(context, std::move(work), Qt::QueuedConnection);
}

void InstallMainThreadSynchronize() {
  QCoreApplication* app = QCoreApplication::instance();
  QPointer<QCoreApplication> guard(app);
  TThread::SetSynchronizeHook([guard](const std::function<void()>& proc) {
    if (!guard || QThread::currentThread() == guard->thread()) {
      proc();
      return;
    }
    QMetaObject::invokeMethod(guard.data(), [&proc] { proc(); }, Qt::BlockingQueuedConnection);
  });
}

std::u16string ExceptionText(const std::exception_ptr& e) {
  try {
    std::rethrow_exception(e);
  } catch (const Exception& x) {
    return x.Message();
  } catch (const std::bad_alloc&) {
    return u"Out of memory";
  } catch (const std::exception& x) {
    return Utf8ToUtf16(x.what());
  } catch (...) {
    return u"Unknown error";
  }
}

bool RunHandler(const std::function<void()>& handler,
                const std::function<void(const std::u16string&)>& showError) {
  try {
    handler();
    return true;
  } catch (...) {
    if (showError) showError(ExceptionText(std::current_exception()));
    return false;
  }
}
