// udtbench_hostile_peers: runs generated hostile conversations against a server
// from a process of its own, so the server's process holds only the server.
//   udtbench_hostile_peers PORT FIRST COUNT THREADS EXPECT_FOLDER ESCAPE_TARGET
// Each file a conversation sent whole is written to EXPECT_FOLDER as well, for
// comparison. Exit code 0 when every conversation went as it should.
#include <udt/udt.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hostile_conversations.h"

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr, "usage: %s PORT FIRST COUNT THREADS EXPECT_FOLDER ESCAPE_TARGET\n", argv[0]);
    return 2;
  }
  const auto port = static_cast<uint16_t>(std::atoi(argv[1]));
  const int first = std::atoi(argv[2]);
  const int end = first + std::atoi(argv[3]);
  const int threads = std::max(1, std::atoi(argv[4]));
  const std::string expect = argv[5];
  const std::string escape = argv[6];
  UDT::startup();
  std::atomic<int> next{first};
  std::mutex lock;  // guards failures and the output
  int failures = 0;
  std::vector<std::thread> peers;
  for (int t = 0; t < threads; ++t)
    peers.emplace_back([&] {
      for (int i = next++; i < end; i = next++) {
        reliability_test::TConversationOutcome o = reliability_test::RunHostileConversation(i, port, escape);
        std::lock_guard<std::mutex> g(lock);
        if (!o.Failure.empty()) {
          ++failures;
          std::fprintf(stderr, "conversation %d: %s\n", i, o.Failure.c_str());
        }
        if (!o.StoredName.empty()) {
          std::ofstream(expect + "/" + o.StoredName, std::ios::binary) << o.StoredData;
          std::printf("stored %s\n", o.StoredName.c_str());
        }
      }
    });
  for (auto& p : peers) p.join();
  UDT::cleanup();
  return failures == 0 ? 0 : 1;
}
