// Helpers for the server application tests: raw UDT4 clients on the loopback
// interface, a recording view, and a server page on a free port.
#pragma once

#include <gtest/gtest.h>
#include <udt/udt.h>

#include <QTemporaryDir>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bytes.h"
#include "events.h"
#include "ports.h"
#include "raw_udt.h"
#include "server_form.h"
#include "server_view.h"

namespace server_test {

using namespace test_support;

// Bytes the process pid has written so far into the files it is receiving in folder.
int64_t IncomingBytes(const std::string& folder, int64_t pid);

// A raw UDT4 client on 127.0.0.1 with bounded blocking calls.
class RawClient {
 public:
  // A send blocks at most sendBound while UDT's send buffer stays full.
  explicit RawClient(std::chrono::milliseconds sendBound = kWaitBound);
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool Connect(uint16_t port);
  // The client's own port, as the server sees it (known once connected).
  uint16_t LocalPort() const noexcept { return FLocalPort; }
  bool SendBytes(const std::string& bytes) { return FSock.SendAll(bytes); }
  bool SendFrame(const std::u16string& text) { return SendBytes(Frame(text)); }
  // Exactly n bytes, or what came before a failure or the time-out.
  std::string RecvBytes(size_t n) { return FSock.RecvExactly(n); }
  // One frame; nullopt on a failure or time-out.
  std::optional<std::u16string> RecvFrame();
  // A text exchange: sends text, returns the reply frame's text.
  std::optional<std::u16string> Exchange(const std::u16string& text);
  // Sends a whole file transfer after the request's reply; false if anything failed.
  bool SendFile(const std::u16string& name, const std::string& data);
  // True when the server has closed the connection (a receive fails), waiting at
  // most the bound; false when the connection stays up.
  bool ServerClosed();
  void Close();

 private:
  RawSocket FSock;
  uint16_t FLocalPort = 0;
};

// A view of plain strings and flags, recording what the logic does. Main thread.
class RecordingView : public IServerView {
 public:
  std::map<TServerEdit, std::u16string> Edits{{edtIP, u"127.0.0.1"}, {edtPort, u"2048"}};
  std::map<TServerButton, bool> Enabled;
  std::vector<std::u16string> Log{u"Memo1"};
  int ShowOtherWindowsCalls = 0;

  std::u16string EditText(TServerEdit Which) const override { return Edits.at(Which); }
  void SetButtonEnabled(TServerButton Which, bool On) override { Enabled[Which] = On; }
  void AppendLog(const std::u16string& Line) override { Log.push_back(Line); }
  void ClearLog() override { Log.clear(); }
  void ShowOtherWindows() override { ++ShowOtherWindowsCalls; }
};

// A server window's logic over a recording view, listening on a free port of
// 127.0.0.1, storing files in a temporary folder.
class ServerFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Waits until the log holds n lines (the initial "Memo1" dropped by SetUp).
  ::testing::AssertionResult WaitForLines(size_t n);
  // "<127.0.0.1: p> " for a client.
  std::u16string Peer(const RawClient& c) const;
  std::string Folder() const { return FDir.path().toStdString(); }
  std::string ReadFile(const std::string& name) const;
  bool FileExists(const std::string& name) const;
  void WriteFile(const std::string& name, const std::string& content) const;
  // Sizes of the files the server is receiving now, from its hidden folder.
  std::vector<int64_t> IncomingSizes() const;
  // Names in the receive folder, sorted.
  std::vector<std::string> FolderNames() const;
  std::string LogText() const;

  uint16_t FPort = 0;
  QTemporaryDir FDir;
  RecordingView FView;
  DebugCapture FDebug;
  std::unique_ptr<TForm1> FForm;
};

}  // namespace server_test
