// The product's own paths, measured the way an operator drives them: the real
// client window and server window (offscreen), their handlers, the pooled
// workers and the debug output, standard error, sent to a file. Each runs inside the calling
// process, on its main thread, with a QApplication already created.
#pragma once

#include <cstdint>
#include <string>

#include "bench_support.h"
#include "link_settings.h"

namespace bench {

// One file of size bytes sent from source with the client window's SendFile
// (the file dialog answered with source) into the server window's conversation,
// stored in folder, then one Send click whose reply proves the server has
// stored everything. Reports seconds, cpu and whether the copy is complete.
// Link is given to both windows: the server listens with it, the client's Open uses it.
Report ProductFileRun(const std::string& source, const std::string& folder, int64_t size,
                      const TLinkSettings& Link = {});
// roundTrips Send clicks, each timed until the server's log line for the
// message has reached its window. Reports the median and p99 in microseconds.
Report ProductTextRun(int roundTrips);
// clients TUDTClient connections at once, each on its own thread sending a file
// of bytesEach bytes from source (request, reply, size, name, 2048-byte pieces,
// closing exchange) into the server window's pooled conversations.
Report ProductMultiRun(const std::string& source, const std::string& folder, int clients,
                       int64_t bytesEach);
// The client window alone: connects to a server on 127.0.0.1:port, sends the
// file with SendFile, then one Send click whose reply proves the server has
// stored everything. The debug output goes to a file in folder. Reports
// seconds and the cpu of this process.
Report ProductFileClient(uint16_t port, const std::string& source, const std::string& folder,
                         int64_t size);
// Runs the server window on port until the process is killed, storing received
// files in folder unless it is empty; prints "ready=1" once it listens.
int ProductServerProcess(uint16_t port, const std::string& folder = {});

}  // namespace bench
