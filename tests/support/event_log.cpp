#include "event_log.h"

namespace test_support {

void EventLog::Attach(TUDTBaseSocket& s, const std::string& prefix) {
  s.OnCreateHandle = [this, prefix](TObject*) { Add(prefix + "create"); };
  s.OnDestroyHandle = [this, prefix](TObject*) { Add(prefix + "destroy"); };
  s.OnError = [this, prefix](TObject*, int32_t code, const char* desc) {
    std::lock_guard<std::mutex> g(FLock);
    FEntries.push_back(prefix + "error:" + std::to_string(code));
    FErrorCodes.push_back(code);
    FErrorTexts.push_back(desc ? desc : "<null>");
  };
}

void EventLog::AttachWithTransfers(TUDTBaseSocket& s, const std::string& prefix) {
  Attach(s, prefix);
  s.OnSend = [this, prefix](TObject*, void*, int32_t& len) { Add(prefix + "send:" + std::to_string(len)); };
  s.OnReceive = [this, prefix](TObject*, void*, int32_t& len) {
    Add(prefix + "recv:" + std::to_string(len));
  };
}

void EventLog::Add(const std::string& entry) {
  std::lock_guard<std::mutex> g(FLock);
  FEntries.push_back(entry);
}

std::vector<std::string> EventLog::Entries() const {
  std::lock_guard<std::mutex> g(FLock);
  return FEntries;
}

int EventLog::Count(const std::string& prefix) const {
  std::lock_guard<std::mutex> g(FLock);
  int n = 0;
  for (const auto& e : FEntries) n += e.compare(0, prefix.size(), prefix) == 0;
  return n;
}

std::vector<int32_t> EventLog::ErrorCodes() const {
  std::lock_guard<std::mutex> g(FLock);
  return FErrorCodes;
}

std::vector<std::string> EventLog::ErrorTexts() const {
  std::lock_guard<std::mutex> g(FLock);
  return FErrorTexts;
}

void EventLog::Clear() {
  std::lock_guard<std::mutex> g(FLock);
  FEntries.clear();
  FErrorCodes.clear();
  FErrorTexts.clear();
}

}  // namespace test_support
