// TTransferMeter: measures one file transfer as its pieces pass.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

#include "base_socket.h"
#include "link_statistics.h"
#include "sha256.h"

// Counts and hashes the bytes of one transfer and reads the socket's monitor
// totals at its start and end, without clearing the monitor's interval. Not
// thread-safe: the thread that moves the pieces uses it.
class TTransferMeter {
 public:
  enum class TSide { Sending, Receiving };

  // Starts a transfer over Socket, forgetting any previous one.
  void Begin(const TUDTBaseSocket& Socket, TSide Side);
  // Adds one piece as it is sent or stored; now and then reads the monitor too.
  void Add(const TUDTBaseSocket& Socket, const void* Buf, int32_t Count);
  // Ends the transfer: the summary with the last monitor reading the socket gave.
  TTransferSummary Finish(const TUDTBaseSocket& Socket, TTransferOutcome Outcome);
  int64_t Bytes() const noexcept { return FBytes; }
  // Turns hashing off (an empty SHA-256) or on for every meter of the process,
  // so its cost can be measured; on by default. Any thread.
  static void SetHashing(bool On) noexcept;

 private:
  void Read(const TUDTBaseSocket& Socket);

  TSha256 FHash;
  TSide FSide = TSide::Sending;
  int64_t FBytes = 0;
  std::chrono::steady_clock::time_point FStart;
  std::chrono::steady_clock::time_point FLastRead;
  std::optional<TUDTTraceInfo> FFirst;
  std::optional<TUDTTraceInfo> FLast;
  TValueRange FRtt;
};
