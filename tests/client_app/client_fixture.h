// The fixture of the client logic tests: a real test server in a temporary
// folder and a TForm2 over a recording view, with a fixed clock.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "client_form.h"
#include "recording_view.h"
#include "sysutils.h"
#include "test_server.h"
#include "thread.h"

namespace client_test {

using namespace test_support;

inline std::string U8(const std::u16string& s) { return Utf16ToUtf8(s); }

// 09:05:03 in the morning.
inline std::tm MorningClock() {
  std::tm t{};
  t.tm_hour = 9;
  t.tm_min = 5;
  t.tm_sec = 3;
  return t;
}

class ClientFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    server = std::make_unique<TestServer>(folder.Path());
    ASSERT_TRUE(server->Listening()) << "the test server could not listen";
    form = std::make_unique<TForm2>(view);
    form->SetClock(MorningClock);
    form->SetFormatSettings(TFormatSettings{u':', u'.'});
    view.Edit2 = Utf8ToUtf16(server->PortText());
  }

  void TearDown() override {
    form.reset();
    server.reset();
    EXPECT_TRUE(TThread::WaitForAllThreads(kWaitBound)) << "server threads still running";
  }

  // Opens the client to the test server; asserts that it connected.
  void Connect() {
    form->Button1Click(nullptr);
    ASSERT_TRUE(form->udtClient1->Connected()) << "the client did not connect";
  }

  TempFolder folder;
  std::unique_ptr<TestServer> server;
  RecordingView view;
  std::unique_ptr<TForm2> form;
};

}  // namespace client_test
