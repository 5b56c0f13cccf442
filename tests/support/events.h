// What tests of Qt code share: a bounded wait that keeps the main thread's
// events running, and the captured debug output.
#pragma once

#include <gtest/gtest.h>

#include <QObject>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "wait.h"

namespace test_support {

// Runs the main thread's events until pred holds or bound passes; true when it held.
bool WaitWithEvents(const std::function<bool()>& pred, std::chrono::milliseconds bound = kWaitBound);

// The control of a window by its object name; a test failure when it has none.
template <typename T>
T* ControlOf(const QObject* window, const char* name) {
  T* c = window->findChild<T*>(name);
  EXPECT_NE(c, nullptr) << "no control " << name;
  return c;
}

// Captures the debug output for its lifetime. Lines arrive on any thread.
class DebugCapture {
 public:
  DebugCapture();
  ~DebugCapture();
  DebugCapture(const DebugCapture&) = delete;
  DebugCapture& operator=(const DebugCapture&) = delete;
  std::vector<std::u16string> Lines() const;

 private:
  // Shared with the sink, which may still be running on another thread when this goes.
  struct State {
    std::mutex Lock;
    std::vector<std::u16string> Lines;
  };
  std::shared_ptr<State> FState;
};

}  // namespace test_support
