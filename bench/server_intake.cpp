// The program's server fed by a plain UDT4 client: one file sent again and
// again into the server window of udtbench_suite's "server" child (offscreen,
// storing into the suite's own folder), each round timed from the file request
// to the reply that follows the data. Prints each round's rate and the median.
//   udtbench_server_intake [--size BYTES] [--rounds N] [--port P]
// With --port it feeds a server already listening there (for instance one run
// under strace) instead of starting its own.
#include <udt/udt.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "plain_paths.h"

using namespace bench;

int main(int argc, char** argv) {
  int64_t size = 64 << 20;
  int rounds = 5;
  int port = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--size") == 0) size = std::strtoll(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--port") == 0) port = std::atoi(argv[i + 1]);
  }
  UDT::startup();
  std::unique_ptr<Child> server;
  if (port == 0) {
    port = FreeUdpPort();
    server = std::make_unique<Child>(
        UDTBENCH_SUITE, std::vector<std::string>{"--child", "server", "--port", std::to_string(port)},
        std::vector<std::string>{"QT_QPA_PLATFORM=offscreen"});
    std::string line;
    if (!server->ReadLine(line, std::chrono::seconds(30)) || line != "ready=1") {
      std::fprintf(stderr, "the server did not start\n");
      return 1;
    }
  }
  const std::string folder = MakeTempFolder("udtbench-intake");
  const std::string source = folder + "/source.bin";
  if (!WritePatternFile(source, size)) return 1;
  std::vector<double> rates;
  for (int r = 0; r < rounds; ++r) {
    const Report rep = PlainFileClient(static_cast<uint16_t>(port), source, size);
    if (Number(rep, "ok") != 1) {
      std::fprintf(stderr, "round %d failed\n", r + 1);
      return 1;
    }
    rates.push_back(Number(rep, "mbps"));
    std::printf("round %d: %.1f MB/s in %.3f s\n", r + 1, rates.back(), Number(rep, "seconds"));
  }
  std::printf("median %.1f MB/s over %d rounds of %lld bytes\n", Summarize(rates).median, rounds,
              static_cast<long long>(size));
  RemoveTree(folder);
  if (server) server->Stop(SIGTERM, std::chrono::seconds(10));
  UDT::cleanup();
  return 0;
}
