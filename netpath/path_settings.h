// The settings of an emulated path, read from udtbench-path's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What one direction of the path does to the packets that enter it.
struct TDirectionSettings {
  int64_t DelayNs = 0;      // one-way propagation delay
  double RateBitsPerS = 0;  // bottleneck rate; 0 is unlimited
  double Loss = 0;          // chance that a packet is dropped at random, 0..1
  int64_t QueueBytes = -1;  // drop-tail limit of the bottleneck queue; -1 is one BDP
};

struct TPathSettings {
  TDirectionSettings AB, BA;  // a to b, b to a
  uint64_t Seed = 1;
  std::string Name = "udtbench";  // the namespaces are NAME-a and NAME-b
  std::string StatsPath;          // where the JSON lines go; empty is standard output
  int64_t StatsIntervalNs = 100'000'000;
  std::vector<std::string> Command;  // run while the path exists, when given
  bool Realtime = true;  // forwards at real-time priority (SCHED_FIFO)
  bool Help = false;
  bool Version = false;
};

// Reads the arguments after the program's name; nullopt with Error set when
// they are not valid.
std::optional<TPathSettings> ReadPathSettings(const std::vector<std::string>& Arguments,
                                              std::string& Error);

// "100ms", "0.5s", "250us", "30" (milliseconds) in nanoseconds; -1 when not a duration.
int64_t ParseDurationNs(const std::string& Text);
// "100mbit", "1gbit", "500kbit", "20" (Mbit/s) in bits per second; -1 when not a rate.
double ParseRate(const std::string& Text);
// "1%", "0.5%", "0.01" as a fraction; -1 when not a loss between 0 and 1.
double ParseLoss(const std::string& Text);
// "150000", "64k", "2m" (powers of 1000) in bytes; -1 when not a size.
int64_t ParseBytes(const std::string& Text);

// The help text: the options, the addresses and an example.
std::string PathHelp();
