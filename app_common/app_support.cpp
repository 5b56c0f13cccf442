#include "app_support.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <cstdio>
#include <mutex>
#include <new>

#include "sysutils.h"
#include "thread.h"

namespace {

std::mutex g_sinkLock;
std::function<void(const std::u16string&)> g_sink;

}  // namespace

void OutputDebugString(const std::u16string& line) {
  std::function<void(const std::u16string&)> sink;
  {
    std::lock_guard<std::mutex> g(g_sinkLock);
    sink = g_sink;
  }
  if (sink) {
    sink(line);
    return;
  }
  std::string text = Utf16ToUtf8(line);
  text.push_back('\n');
  std::fwrite(text.data(), 1, text.size(), stderr);
}

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
