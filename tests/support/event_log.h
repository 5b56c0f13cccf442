// EventLog: records the events of socket components, in order, as short texts,
// from any thread: "create", "destroy", "error:<code>", and on request
// "send:<len>", "recv:<len>", "connect", "disconnect"; each behind an optional prefix.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "base_socket.h"

namespace test_support {

class EventLog {
 public:
  // Records the socket's handle creation and destruction and its errors.
  void Attach(TUDTBaseSocket& s, const std::string& prefix = "");
  // The same, and every send and receive with its length.
  void AttachWithTransfers(TUDTBaseSocket& s, const std::string& prefix = "");
  // The same as Attach, and a client's connects and disconnects.
  template <class Client>
  void AttachClient(Client& c, const std::string& prefix = "") {
    Attach(c, prefix);
    c.OnConnect = [this, prefix](TObject*) { Add(prefix + "connect"); };
    c.OnDisconnect = [this, prefix](TObject*) { Add(prefix + "disconnect"); };
  }

  void Add(const std::string& entry);
  std::vector<std::string> Entries() const;
  // Entries that start with prefix.
  int Count(const std::string& prefix) const;
  std::vector<int32_t> ErrorCodes() const;
  std::vector<std::string> ErrorTexts() const;
  void Clear();

 private:
  mutable std::mutex FLock;  // guards the three lists
  std::vector<std::string> FEntries;
  std::vector<int32_t> FErrorCodes;
  std::vector<std::string> FErrorTexts;
};

}  // namespace test_support
