// UDP ports for tests that run side by side.
#pragma once

#include <cstdint>

class TCustomUDTServer;

namespace test_support {

// An ordinary UDP socket holding a port on every local address (0: one the
// system picks), so that nothing else can bind it; closed with the object.
class HeldUdpPort {
 public:
  explicit HeldUdpPort(uint16_t port = 0);
  ~HeldUdpPort();
  HeldUdpPort(const HeldUdpPort&) = delete;
  HeldUdpPort& operator=(const HeldUdpPort&) = delete;
  // The port held; 0 when it could not be bound.
  uint16_t Port() const noexcept { return FPort; }

 private:
  int FSock = -1;
  uint16_t FPort = 0;
};

// A UDP port free on every local address a moment ago, for a server of one test; 0 on failure.
uint16_t FreeUdpPort();

// The local port of a UDT socket (host byte order), 0 when unknown.
uint16_t LocalPortOf(int32_t handle);

// Opens the server on 127.0.0.1 at a port UDT picks and returns that port (0 on failure).
uint16_t OpenOnFreePort(TCustomUDTServer& server);

// True when a UDP socket of this machine is bound to port (any IPv4 address).
bool UdpPortBound(uint16_t port);

}  // namespace test_support
