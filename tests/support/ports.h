// UDP ports for tests that run side by side.
#pragma once

#include <cstdint>

namespace test_support {

// A UDP port free on every local address a moment ago, for a server of one test; 0 on failure.
uint16_t FreeUdpPort();

// True when a UDP socket of this machine is bound to port (any IPv4 address).
bool UdpPortBound(uint16_t port);

}  // namespace test_support
