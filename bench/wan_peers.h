// The transfers bench/wan compares with the bench's own, each a process of
// its own inside one of the path's namespaces: plain UDT4 (its native control
// or a fixed rate) and TCP with a congestion control chosen per socket. The
// stream is an 8-byte size, the bytes, and one byte back once all arrived.
#pragma once

#include <cstdint>
#include <string>

namespace bench {

// A server on every address, port Port, taking one stream per connection;
// Tcp picks TCP instead of UDT4 (MSS 1052, as the bench sets it). Prints
// "ready=1" once listening; runs until killed.
int WanServe(bool Tcp, uint16_t Port);

// What a sender does: Size bytes to Host:Port, ending early after CapSeconds.
struct TWanSend {
  std::string Host;
  uint16_t Port = 0;
  int64_t Size = 0;
  double CapSeconds = 30;
  std::string Tcp;         // a TCP congestion control ("cubic", "bbr"); empty is UDT4
  double FixedMbit = 0;    // UDT4 at this fixed rate instead of its native control
};
// Sends and prints "key=value" lines: complete, seconds, bytes (delivered:
// all of them, or what was acknowledged when the cap ended it), mbit, and the
// transport's rtt_ms, retransmits and loss.
int WanSend(const TWanSend& Send);

}  // namespace bench
