// The baselines: the bench's work done with UDT4 alone (and, as a yardstick,
// with TCP), the same settings as the product (MSS 1052 on every UDT socket,
// nothing else) and the same wire format. Each runs inside the calling process
// and reports its figures as "key=value" entries.
#pragma once

#include <cstdint>
#include <string>

#include "bench_support.h"

namespace bench {

// One file of size bytes from source into folder: the file request and its
// reply, the size field, the name frame, 2048-byte pieces sent whole, received
// into a 2048-byte buffer and written to a file, then one text exchange that
// proves the receiver has stored everything. Reports seconds and cpu.
Report PlainFileRun(const std::string& source, const std::string& folder, int64_t size);
// The same with segment size mss on both ends and block bytes per send and
// receive: plain UDT4 tuned as the bench's link settings tune it. Not thread-safe.
Report PlainTunedFileRun(const std::string& source, const std::string& folder, int64_t size,
                         int mss, int block);
// The same transfer over TCP on loopback, 2048-byte pieces both ways.
Report TcpFileRun(const std::string& source, const std::string& folder, int64_t size);
// roundTrips text exchanges: the client sends a frame and reads the reply
// frame; the server waits in select, probes with a zero-length receive, reads
// the count and the characters exactly, and answers "Act: " and the text.
// With clientSelects the client first waits for the reply in select (at most
// 100 ms), as the client window did, beside the server's select in the same
// process. Reports the median and p99 round trip in microseconds.
Report PlainTextRun(int roundTrips, bool clientSelects = false);
// clients connections at once, each sending a file of bytesEach bytes as in
// PlainFileRun, into one listener served by one thread per connection.
// Reports seconds, cpu and the aggregate MB/s.
Report PlainMultiRun(const std::string& source, const std::string& folder, int clients,
                     int64_t bytesEach);

// The sending side of PlainFileRun alone, connecting to a server on
// 127.0.0.1:port: request, reply, size, name "bench.bin", pieces, closing
// exchange. Reports seconds, the cpu of this process and the rate.
Report PlainFileClient(uint16_t port, const std::string& source, int64_t size);

// A plain UDT4 server on port: one thread per connection answering text
// messages as the bench does, and storing a requested file as folder/bench.bin
// (no file is taken when folder is empty). Prints "ready=1" once listening;
// runs until killed.
int PlainServerProcess(uint16_t port, const std::string& folder = {});

}  // namespace bench
