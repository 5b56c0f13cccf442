// Where the emulated path's two ends live: one address each, from the range
// set aside for benchmarking (198.18.0.0/15), in namespaces of their own.
#pragma once

inline constexpr char kAddressA[] = "198.18.0.1";
inline constexpr char kAddressB[] = "198.18.0.2";
inline constexpr char kTunDevice[] = "wan0";
inline constexpr int kPathMtu = 1500;
