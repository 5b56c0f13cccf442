// The two limits the exchange keeps by design, measured against UDT4 itself: the
// server has no time limits of its own, so a silent peer holds its worker for as
// long as it stays, and a peer that dies without closing is noticed only when
// UDT4 declares the connection broken (16 expirations of its timer, about 46 s
// on loopback).
//
//   udtbench_known_limits [--watch-seconds S] [--dead-bound-seconds D]
//
// Prints how long a silent peer held its worker (watched for S seconds, default
// 50, beyond UDT4's break) and whether it was then still answered, and how long
// the server took to notice a peer whose datagrams stopped (at most D seconds,
// default 120; 0 leaves this part out, since ending the server then waits for
// UDT4's break all the same). Exits 1 only when a measurement could not be set up.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "app_support.h"
#include "files.h"
#include "server_form.h"
#include "server_test_support.h"
#include "udp_relay.h"
#include "udt_h.h"
#include "exchange_protocol.h"

namespace {

using namespace server_test;
using std::chrono::milliseconds;

struct Page {
  RecordingView View;
  std::unique_ptr<TForm1> Form;
  uint16_t Port = 0;
};

bool Open(Page& p, const std::string& folder) {
  p.Port = FreeUdpPort();
  p.Form = std::make_unique<TForm1>(p.View, std::to_string(p.Port));
  p.Form->SetReceiveFolder(folder);
  p.Form->FormCreate();
  return p.Port != 0 && p.Form->UdtServer1()->Listening();
}

bool IdlePeer(Page& p, milliseconds watch) {
  RawClient c;
  if (!c.Connect(p.Port) || !WaitWithEvents([&] { return p.Form->ConversationCount() == 1; })) {
    std::fprintf(stderr, "the silent peer's conversation did not start\n");
    return false;
  }
  QElapsedTimer idle;
  idle.start();
  const bool ended = WaitWithEvents([&] { return p.Form->ConversationCount() != 1; }, watch);
  const auto reply = c.Exchange(u"still here");
  std::printf("[figure] a silent peer held its worker for %lld ms (%s), then %s\n",
              static_cast<long long>(idle.elapsed()), ended ? "its conversation ended" : "still held",
              reply && *reply == protocol::Reply(u"still here") ? "was answered" : "got no answer");
  return true;
}

bool DeadPeer(Page& p, milliseconds bound) {
  auto relay = std::make_unique<reliability_test::TUdpRelay>(p.Port, reliability_test::TLinkImpairment{}, 1);
  RawClient c;
  if (relay->Port() == 0 || !c.Connect(relay->Port()) || !c.Exchange(u"alive")) {
    std::fprintf(stderr, "the peer did not get through the relay\n");
    return false;
  }
  // The peer's datagrams stop at once, with no shutdown sent: a dead peer.
  relay.reset();
  QElapsedTimer dead;
  dead.start();
  if (WaitWithEvents([&] { return p.Form->ConversationCount() == 0; }, bound))
    std::printf("[figure] a dead peer was noticed after %lld ms\n", static_cast<long long>(dead.elapsed()));
  else
    std::printf("[figure] a dead peer was not noticed within %lld ms\n",
                static_cast<long long>(bound.count()));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  double watchSeconds = 50, deadSeconds = 120;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--watch-seconds")) watchSeconds = std::atof(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--dead-bound-seconds")) deadSeconds = std::atof(argv[i + 1]);
  }
  TUDTSocketServices services;
  QCoreApplication app(argc, argv);
  InstallMainThreadSynchronize();
  test_support::TempFolder folder;
  Page page;
  if (!Open(page, folder.Path().string())) {
    std::fprintf(stderr, "the server page did not listen\n");
    return 1;
  }
  const bool ok = IdlePeer(page, milliseconds(static_cast<int64_t>(watchSeconds * 1000))) &&
                  (deadSeconds <= 0 || DeadPeer(page, milliseconds(static_cast<int64_t>(deadSeconds * 1000))));
  page.Form.reset();
  return ok ? 0 : 1;
}
