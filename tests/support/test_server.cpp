#include "test_server.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <random>
#include <thread>

#include "app_support.h"
#include "ports.h"
#include "sysutils.h"
#include "bytes.h"

namespace test_support {

TestServer::TestServer(std::filesystem::path folder) : FFolder(std::move(folder)) {
  FServer = std::make_unique<TUDTServer>(nullptr);
  FServer->OnAccept = [this, gate = FGate](TObject*, TUDTCustomIpClient* client) {
    {
      std::lock_guard<std::mutex> g(gate->Lock);
      if (gate->Closed) return;
      ++gate->Running;
    }
    Converse(client);
    std::lock_guard<std::mutex> g(gate->Lock);
    if (--gate->Running == 0) gate->Idle.notify_all();
  };
  FPort = OpenOnFreePort(*FServer);
}

TestServer::~TestServer() {
  FStopping = true;
  FServer->Close();
  std::unique_lock<std::mutex> g(FGate->Lock);
  FGate->Closed = true;
  if (!FGate->Idle.wait_for(g, kWaitBound, [this] { return FGate->Running == 0; }))
    ADD_FAILURE() << "a server conversation did not end";
  g.unlock();
  FServer.reset();
}

bool TestServer::Listening() const { return FServer->Listening() && FPort != 0; }

void TestServer::Record(ServerUnit unit) {
  {
    std::lock_guard<std::mutex> g(FLock);
    FUnits.push_back(std::move(unit));
  }
  FChanged.notify_all();
}

std::vector<ServerUnit> TestServer::Units() const {
  std::lock_guard<std::mutex> g(FLock);
  return FUnits;
}

bool TestServer::WaitUntil(const std::function<bool(const std::vector<ServerUnit>&)>& pred) const {
  // The client of these tests runs on the main thread; let its events run too.
  return WaitWithEvents([&] { return pred(Units()); });
}

bool TestServer::WaitForKind(const std::string& kind, int count) const {
  return WaitUntil([&](const std::vector<ServerUnit>& units) {
    return std::count_if(units.begin(), units.end(),
                         [&](const ServerUnit& u) { return u.Kind == kind; }) >= count;
  });
}

int TestServer::Count(const std::string& kind) const {
  auto units = Units();
  return static_cast<int>(std::count_if(units.begin(), units.end(),
                                        [&](const ServerUnit& u) { return u.Kind == kind; }));
}

std::vector<std::u16string> TestServer::Messages() const {
  std::vector<std::u16string> texts;
  for (const ServerUnit& u : Units())
    if (u.Kind == "message" || u.Kind == "request") texts.push_back(u.Text);
  return texts;
}

void TestServer::Converse(TUDTCustomIpClient* client) {
  int id;
  {
    std::lock_guard<std::mutex> g(FLock);
    id = ++FConversations;
  }
  while (!FStopping) {
    if (!client->WaitForData(100)) {
      if (!client->Active()) break;
      continue;
    }
    std::u16string msg;
    if (client->ReceiveString(msg) < 0) break;
    client->SendString(protocol::Reply(msg));
    if (!protocol::IsFileRequest(msg)) {
      Record({id, "message", msg, 0});
      continue;
    }
    Record({id, "request", msg, 0});
    const std::optional<int32_t> field = client->ReceiveField();
    if (!field) break;
    const int32_t size = *field;
    Record({id, "size", u"", size});
    std::u16string name;
    if (client->ReceiveString(name) < 0) break;
    Record({id, "name", name, 0});
    std::ofstream out(FFolder / Utf16ToUtf8(name), std::ios::binary | std::ios::trunc);
    if (!out) break;  // ends the conversation, as a server that cannot store the file does
    int64_t stored = 0;
    char buf[protocol::kPieceSize];
    while (stored < size) {
      int32_t r = client->ReceiveBuf(
          buf, static_cast<int32_t>(std::min<int64_t>(protocol::kPieceSize, size - stored)), 0);
      if (r <= 0) break;
      out.write(buf, r);
      stored += r;
    }
    out.close();
    Record({id, stored == size ? "stored" : "cut", name, stored});
    if (stored != size) break;
  }
  Record({id, "end", u"", 0});
}

}  // namespace test_support
