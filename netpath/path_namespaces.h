// The two network namespaces of the emulated path and the TUN device in each.
// They exist from Create until Remove, or until a watchdog process removes them
// when this process ends without Remove (a crash, SIGKILL).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class TPathNamespaces {
 public:
  // Namespaces Prefix-a and Prefix-b.
  explicit TPathNamespaces(std::string Prefix);
  ~TPathNamespaces();
  TPathNamespaces(const TPathNamespaces&) = delete;
  TPathNamespaces& operator=(const TPathNamespaces&) = delete;

  // Creates both namespaces (removing stale ones of the same names left by a
  // run that no process holds any more), a TUN device in each with its address,
  // MTU 1500 and a long transmit queue, and the watchdog. False, with Error
  // set and nothing left behind, when it cannot.
  bool Create(std::string& Error);
  // Closes the devices and removes the namespaces; again is harmless.
  void Remove();

  const std::string& NameA() const noexcept { return FNameA; }
  const std::string& NameB() const noexcept { return FNameB; }
  // The non-blocking TUN descriptors, -1 before Create.
  int TunA() const noexcept { return FTunA; }
  int TunB() const noexcept { return FTunB; }
  // What the kernel dropped at the TUN devices so far, outside the forwarding:
  // packets that found the device's transmit queue full before they were read
  // (Tx of the sending side) and packets it refused on write (Rx of the other).
  // Beside them, the UDP datagrams each end's sockets had no room for
  // (RcvbufErrors): lost at the receiving host, not on the path.
  struct TDeviceDrops {
    int64_t TxA = 0, RxA = 0, TxB = 0, RxB = 0;
    int64_t UdpRcvbufA = 0, UdpRcvbufB = 0;
  };
  TDeviceDrops DeviceDrops() const;

 private:
  bool Lock(std::string& Error);
  bool StartWatchdog(std::string& Error);
  bool AddNamespace(const std::string& Name, const char* Address, const char* Peer, int& Tun,
                    int& DevStats, int& Snmp, std::string& Error);

  std::string FPrefix, FNameA, FNameB;
  std::string FLockPath;
  int FLock = -1;
  int FWatchdogPipe = -1;
  pid_t FWatchdog = -1;
  int FTunA = -1, FTunB = -1;
  int FDevStatsA = -1, FDevStatsB = -1;  // /proc/net/dev as each namespace shows it
  int FSnmpA = -1, FSnmpB = -1;          // /proc/net/snmp likewise
  bool FCreated = false;
};

// Runs "ip ARGS..." and waits for it; its exit code, or -1 when it could not run.
// Its standard error is kept unless Quiet.
int RunIp(const std::vector<std::string>& Args, bool Quiet = false);
// True when the named namespace exists (as "ip netns" knows it).
bool NamespaceExists(const std::string& Name);
