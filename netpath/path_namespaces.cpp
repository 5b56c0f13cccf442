#include "path_namespaces.h"

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <fstream>
#include <sstream>

#include "path_addresses.h"

namespace {

constexpr char kNetnsFolder[] = "/run/netns/";
constexpr char kLockFolder[] = "/run/udtbench-path";

std::string Errno(const std::string& What) { return What + ": " + std::strerror(errno); }

// In a child between fork and exec: no signal stays blocked or caught.
void ResetSignals() {
  sigset_t all;
  sigfillset(&all);
  sigprocmask(SIG_UNBLOCK, &all, nullptr);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGCHLD, SIGPIPE}) signal(s, SIG_DFL);
}

void RemoveNamespaces(const std::string& A, const std::string& B) {
  for (const std::string* n : {&A, &B})
    if (NamespaceExists(*n)) RunIp({"netns", "delete", *n}, true);
}

// Writes Value into a file of /proc/sys as this thread's namespace sees it.
void WriteProcSys(const std::string& Path, const char* Value) {
  std::ofstream(Path) << Value;
}

}  // namespace

int RunIp(const std::vector<std::string>& Args, bool Quiet) {
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    ResetSignals();
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    if (Quiet) ::dup2(null, STDERR_FILENO);
    std::vector<char*> argv{const_cast<char*>("ip")};
    for (const std::string& a : Args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // Where iproute2 lives, whatever the PATH.
    for (const char* exe : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) ::execv(exe, argv.data());
    ::execvp("ip", argv.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool NamespaceExists(const std::string& Name) {
  struct stat st;
  return ::stat((kNetnsFolder + Name).c_str(), &st) == 0;
}

TPathNamespaces::TPathNamespaces(std::string Prefix)
    : FPrefix(std::move(Prefix)), FNameA(FPrefix + "-a"), FNameB(FPrefix + "-b") {}

TPathNamespaces::~TPathNamespaces() {
  Remove();
  if (FLock >= 0) ::close(FLock);
}

bool TPathNamespaces::Lock(std::string& Error) {
  // One lock per name: held by this process and its watchdog until the
  // namespaces are gone, so a second run of the same name cannot take them
  // over, and a run after a crash knows that the ones it finds are stale.
  ::mkdir(kLockFolder, 0755);
  FLockPath = std::string(kLockFolder) + "/" + FPrefix + ".lock";
  // A watchdog that is still removing a crashed run's namespaces holds it a moment.
  for (int i = 0; i < 100; ++i) {
    FLock = ::open(FLockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (FLock < 0) {
      Error = Errno("cannot open " + FLockPath);
      return false;
    }
    if (::flock(FLock, LOCK_EX | LOCK_NB) == 0) {
      // The run before removes the file once done: a lock on a removed file holds nothing.
      struct stat held, named;
      if (::fstat(FLock, &held) == 0 && ::stat(FLockPath.c_str(), &named) == 0 &&
          held.st_ino == named.st_ino)
        return true;
    } else if (errno != EWOULDBLOCK) {
      break;
    }
    ::close(FLock);
    FLock = -1;
    ::usleep(50'000);
  }
  Error = "another udtbench-path holds the namespaces " + FNameA + " and " + FNameB +
          " (give another --name)";
  return false;
}

bool TPathNamespaces::StartWatchdog(std::string& Error) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    Error = Errno("pipe");
    return false;
  }
  FWatchdog = ::fork();
  if (FWatchdog < 0) {
    Error = Errno("fork");
    return false;
  }
  if (FWatchdog == 0) {
    // Out of the terminal's process group, deaf to the signals that end the
    // path: it waits for this process to end, however it ends.
    ::close(fds[1]);
    if (const int null = ::open("/dev/null", O_RDWR); null >= 0) {
      // Whoever reads the path's output sees its end when the path ends.
      ::dup2(null, STDIN_FILENO);
      ::dup2(null, STDOUT_FILENO);
    }
    ::setsid();
    ResetSignals();
    for (int s : {SIGINT, SIGTERM, SIGHUP}) signal(s, SIG_IGN);
    ::prctl(PR_SET_NAME, "udtbench-path-w");
    char done = 0;
    ssize_t n;
    while ((n = ::read(fds[0], &done, 1)) < 0 && errno == EINTR) {
    }
    if (n <= 0) {
      RemoveNamespaces(FNameA, FNameB);
      ::unlink(FLockPath.c_str());
    }
    ::_exit(0);
  }
  ::close(fds[0]);
  FWatchdogPipe = fds[1];
  return true;
}

bool TPathNamespaces::AddNamespace(const std::string& Name, const char* Address, const char* Peer,
                                   int& Tun, int& DevStats, int& Snmp, std::string& Error) {
  if (RunIp({"netns", "add", Name}) != 0) {
    Error = "ip netns add " + Name + " failed";
    return false;
  }
  const int home = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  const int there = ::open((kNetnsFolder + Name).c_str(), O_RDONLY | O_CLOEXEC);
  if (home < 0 || there < 0 || ::setns(there, CLONE_NEWNET) != 0) {
    Error = Errno("cannot enter the namespace " + Name);
    if (home >= 0) ::close(home);
    if (there >= 0) ::close(there);
    return false;
  }
  // Inside the namespace: no IPv6 chatter on the path, and the device is born here.
  WriteProcSys("/proc/sys/net/ipv6/conf/default/disable_ipv6", "1");
  WriteProcSys("/proc/sys/net/ipv6/conf/all/disable_ipv6", "1");
  Tun = ::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
  ifreq ifr{};
  ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
  std::strncpy(ifr.ifr_name, kTunDevice, IFNAMSIZ - 1);
  const bool made = Tun >= 0 && ::ioctl(Tun, TUNSETIFF, &ifr) == 0;
  // The file keeps showing the namespace it was opened in.
  DevStats = ::open("/proc/self/net/dev", O_RDONLY | O_CLOEXEC);
  Snmp = ::open("/proc/self/net/snmp", O_RDONLY | O_CLOEXEC);
  if (!made) Error = Errno("cannot create the TUN device in " + Name);
  const bool back = ::setns(home, CLONE_NEWNET) == 0;
  ::close(home);
  ::close(there);
  if (!back) {
    // Every later step would act in the wrong namespace.
    Error = Errno("cannot return to the first namespace");
    return false;
  }
  if (!made) return false;
  const std::string mtu = std::to_string(kPathMtu);
  if (RunIp({"-n", Name, "link", "set", "lo", "up"}) != 0 ||
      RunIp({"-n", Name, "link", "set", kTunDevice, "mtu", mtu, "txqueuelen", "10000", "up"}) != 0 ||
      RunIp({"-n", Name, "addr", "add", std::string(Address) + "/32", "peer",
             std::string(Peer) + "/32", "dev", kTunDevice}) != 0) {
    Error = "cannot set up " + std::string(kTunDevice) + " in " + Name;
    return false;
  }
  return true;
}

bool TPathNamespaces::Create(std::string& Error) {
  if (::geteuid() != 0) {
    Error = "creating network namespaces and TUN devices needs root";
    return false;
  }
  if (!Lock(Error)) return false;
  RemoveNamespaces(FNameA, FNameB);  // stale, since nobody holds the lock
  if (!StartWatchdog(Error)) return false;
  FCreated = true;
  if (!AddNamespace(FNameA, kAddressA, kAddressB, FTunA, FDevStatsA, FSnmpA, Error) ||
      !AddNamespace(FNameB, kAddressB, kAddressA, FTunB, FDevStatsB, FSnmpB, Error)) {
    Remove();
    return false;
  }
  return true;
}

namespace {

// The receive and transmit drops of the TUN device in a /proc/net/dev listing.
std::pair<int64_t, int64_t> DevDrops(int Fd) {
  char text[4096];
  const ssize_t n = Fd < 0 ? -1 : ::pread(Fd, text, sizeof text - 1, 0);
  if (n <= 0) return {0, 0};
  text[n] = 0;
  const char* line = std::strstr(text, (std::string(kTunDevice) + ":").c_str());
  long long v[12] = {};
  if (!line || std::sscanf(line + std::strlen(kTunDevice) + 1,
                           "%lld %lld %lld %lld %lld %lld %lld %lld %lld %lld %lld %lld", &v[0],
                           &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9], &v[10],
                           &v[11]) != 12)
    return {0, 0};
  return {v[3], v[11]};
}

// RcvbufErrors of the "Udp:" lines (names, then values) in a /proc/net/snmp listing.
int64_t UdpRcvbufErrors(int Fd) {
  char text[8192];
  const ssize_t n = Fd < 0 ? -1 : ::pread(Fd, text, sizeof text - 1, 0);
  if (n <= 0) return 0;
  text[n] = 0;
  const char* names = std::strstr(text, "\nUdp: ");
  const char* values = names ? std::strstr(names + 1, "\nUdp: ") : nullptr;
  if (!values) return 0;
  std::istringstream nameLine(std::string(names + 6, std::strchr(names + 1, '\n')));
  std::istringstream valueLine(std::string(values + 6));
  std::string name;
  long long value = 0;
  while (nameLine >> name && valueLine >> value)
    if (name == "RcvbufErrors") return value;
  return 0;
}

}  // namespace

TPathNamespaces::TDeviceDrops TPathNamespaces::DeviceDrops() const {
  const auto [rxA, txA] = DevDrops(FDevStatsA);
  const auto [rxB, txB] = DevDrops(FDevStatsB);
  return {txA, rxA, txB, rxB, UdpRcvbufErrors(FSnmpA), UdpRcvbufErrors(FSnmpB)};
}

void TPathNamespaces::Remove() {
  if (!FCreated) return;
  FCreated = false;
  for (int* fd : {&FTunA, &FTunB, &FDevStatsA, &FDevStatsB, &FSnmpA, &FSnmpB})
    if (*fd >= 0) {
      ::close(*fd);
      *fd = -1;
    }
  RemoveNamespaces(FNameA, FNameB);
  ::unlink(FLockPath.c_str());  // still held: the next run of the name makes a new one
  if (FWatchdogPipe >= 0) {
    // The namespaces are gone: the watchdog ends without touching them.
    const char done = 1;
    (void)!::write(FWatchdogPipe, &done, 1);
    ::close(FWatchdogPipe);
    FWatchdogPipe = -1;
  }
  if (FWatchdog > 0) {
    while (::waitpid(FWatchdog, nullptr, 0) < 0 && errno == EINTR) {
    }
    FWatchdog = -1;
  }
}
