#include "events.h"

#include <QCoreApplication>

#include "app_support.h"

namespace test_support {

bool WaitWithEvents(const std::function<bool()>& pred, std::chrono::milliseconds bound) {
  return WaitUntil(
      [&] {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        return pred();
      },
      // The main thread's work waits for these passes: keep them close.
      bound, std::chrono::milliseconds(2));
}

DebugCapture::DebugCapture() : FState(std::make_shared<State>()) {
  SetDebugOutputSink([state = FState](const std::u16string& line) {
    std::lock_guard<std::mutex> g(state->Lock);
    state->Lines.push_back(line);
  });
}

DebugCapture::~DebugCapture() { SetDebugOutputSink(nullptr); }

std::vector<std::u16string> DebugCapture::Lines() const {
  std::lock_guard<std::mutex> g(FState->Lock);
  return FState->Lines;
}

}  // namespace test_support
