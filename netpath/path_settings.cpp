#include "path_settings.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>

#include "path_addresses.h"

namespace {

// A number followed by a unit from Units (lower case); NoUnit scales a bare number.
double Scaled(const std::string& Text, const std::map<std::string, double>& Units, double NoUnit) {
  if (Text.empty()) return -1;
  char* end = nullptr;
  const double v = std::strtod(Text.c_str(), &end);
  if (end == Text.c_str() || !std::isfinite(v) || v < 0) return -1;
  std::string unit(end);
  for (char& c : unit) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (unit.empty()) return v * NoUnit;
  const auto u = Units.find(unit);
  return u == Units.end() ? -1 : v * u->second;
}

}  // namespace

int64_t ParseDurationNs(const std::string& Text) {
  const double ns = Scaled(Text, {{"ns", 1}, {"us", 1e3}, {"ms", 1e6}, {"s", 1e9}}, 1e6);
  return ns < 0 ? -1 : std::llround(ns);
}

double ParseRate(const std::string& Text) {
  return Scaled(Text,
                {{"bit", 1}, {"kbit", 1e3}, {"mbit", 1e6}, {"gbit", 1e9}, {"bps", 8}, {"kbps", 8e3},
                 {"mbps", 8e6}, {"gbps", 8e9}},
                1e6);
}

double ParseLoss(const std::string& Text) {
  const double p = Scaled(Text, {{"%", 0.01}}, 1);
  return p > 1 ? -1 : p;
}

int64_t ParseBytes(const std::string& Text) {
  const double b = Scaled(Text, {{"b", 1}, {"k", 1e3}, {"kb", 1e3}, {"m", 1e6}, {"mb", 1e6}}, 1);
  return b < 0 ? -1 : std::llround(b);
}

std::optional<TPathSettings> ReadPathSettings(const std::vector<std::string>& Arguments,
                                              std::string& Error) {
  TPathSettings s;
  using TSetter = std::function<bool(TDirectionSettings&, const std::string&)>;
  const TSetter delay = [](TDirectionSettings& d, const std::string& v) {
    return (d.DelayNs = ParseDurationNs(v)) >= 0;
  };
  const TSetter rtt = [](TDirectionSettings& d, const std::string& v) {
    const int64_t ns = ParseDurationNs(v);
    d.DelayNs = ns / 2;
    return ns >= 0;
  };
  const TSetter rate = [](TDirectionSettings& d, const std::string& v) {
    return (d.RateBitsPerS = ParseRate(v)) >= 0;
  };
  const TSetter loss = [](TDirectionSettings& d, const std::string& v) {
    return (d.Loss = ParseLoss(v)) >= 0;
  };
  const TSetter queue = [](TDirectionSettings& d, const std::string& v) {
    return (d.QueueBytes = ParseBytes(v)) >= 0;
  };
  // Each setting for both directions, or with -ab / -ba for one of them.
  std::map<std::string, std::pair<TSetter, std::vector<TDirectionSettings*>>> options;
  for (const auto& [name, setter] : std::map<std::string, TSetter>{
           {"rtt", rtt}, {"delay", delay}, {"rate", rate}, {"loss", loss}, {"queue", queue}}) {
    options["--" + name] = {setter, {&s.AB, &s.BA}};
    options["--" + name + "-ab"] = {setter, {&s.AB}};
    options["--" + name + "-ba"] = {setter, {&s.BA}};
  }
  for (size_t i = 0; i < Arguments.size(); ++i) {
    std::string arg = Arguments[i];
    if (arg == "--") {
      s.Command.assign(Arguments.begin() + static_cast<long>(i) + 1, Arguments.end());
      if (s.Command.empty()) {
        Error = "\"--\" needs a COMMAND after it";
        return std::nullopt;
      }
      break;
    }
    if (arg == "-h" || arg == "--help") {
      s.Help = true;
      continue;
    }
    if (arg == "--version") {
      s.Version = true;
      continue;
    }
    if (arg == "--no-realtime") {
      s.Realtime = false;
      continue;
    }
    std::string value;
    const size_t eq = arg.find('=');
    const bool inlineValue = arg.starts_with("--") && eq != std::string::npos;
    if (inlineValue) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
    }
    const bool known = options.count(arg) || arg == "--seed" || arg == "--name" ||
                       arg == "--stats" || arg == "--interval";
    if (!known) {
      Error = "unknown option \"" + arg + "\"";
      return std::nullopt;
    }
    if (!inlineValue) {
      if (i + 1 >= Arguments.size()) {
        Error = arg + " needs a value";
        return std::nullopt;
      }
      value = Arguments[++i];
    }
    bool ok = true;
    if (auto o = options.find(arg); o != options.end()) {
      for (TDirectionSettings* d : o->second.second) ok = ok && o->second.first(*d, value);
    } else if (arg == "--seed") {
      char* end = nullptr;
      s.Seed = std::strtoull(value.c_str(), &end, 10);
      ok = !value.empty() && *end == 0;
    } else if (arg == "--name") {
      // Interface and namespace names stay short and plain.
      ok = !value.empty() && value.size() <= 24;
      for (char c : value) ok = ok && (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_');
      s.Name = value;
    } else if (arg == "--stats") {
      s.StatsPath = value;
      ok = !value.empty();
    } else if (arg == "--interval") {
      s.StatsIntervalNs = ParseDurationNs(value);
      ok = s.StatsIntervalNs >= 1'000'000;
    }
    if (!ok) {
      Error = arg + ": \"" + value + "\" is not valid (see --help)";
      return std::nullopt;
    }
  }
  return s;
}

std::string PathHelp() {
  return std::string(
             "Usage: udtbench-path [options] [-- COMMAND [ARG...]]\n"
             "An emulated network path between two network namespaces, for any IP traffic.\n"
             "It creates the namespaces NAME-a and NAME-b, one TUN device \"") +
         kTunDevice +
         "\" in each, and forwards\n"
         "every packet between them in user space with the delay, rate, random loss and\n"
         "drop-tail queue set for each direction. It needs root.\n"
         "\n"
         "  NAME-a has the address " +
         kAddressA + ", NAME-b has " + kAddressB +
         ".\n"
         "\n"
         "Without COMMAND the path stays until SIGINT or SIGTERM; with COMMAND it runs the\n"
         "command (in the current namespace, with UDTBENCH_PATH_A, UDTBENCH_PATH_B, the\n"
         "namespaces, and UDTBENCH_PATH_A_ADDR, UDTBENCH_PATH_B_ADDR set) and ends with it,\n"
         "with its exit status. The namespaces and devices are removed on every way out,\n"
         "a crash or SIGKILL included (a watchdog process removes them then).\n"
         "\n"
         "Options (each for both directions; add -ab or -ba, e.g. --loss-ab, for one):\n"
         "  --rtt D       round-trip propagation delay, half of it each way (e.g. 100ms)\n"
         "  --delay D     one-way delay (e.g. 50ms, 250us, 0.1s; a bare number is ms)\n"
         "  --rate R      bottleneck rate (e.g. 100mbit, 1gbit, 500kbit; bare is Mbit/s;\n"
         "                0 is unlimited). Packets leave it one by one at this rate.\n"
         "  --loss P      random loss (e.g. 1%, 0.1%, 0.005), seeded and reproducible\n"
         "  --queue B     drop-tail limit of the queue in bytes (e.g. 1250000, 64k);\n"
         "                default one bandwidth-delay product, at least 64k\n"
         "  --seed N      seed of the random loss (default 1)\n"
         "  --name NAME   prefix of the namespaces (default udtbench)\n"
         "  --stats FILE  where the JSON lines go (default standard output)\n"
         "  --interval D  time between two \"stats\" lines (default 100ms)\n"
         "  --no-realtime forwards at normal priority (by default the forwarding runs\n"
         "                at real-time priority, SCHED_FIFO 10, so a busy machine delays\n"
         "                packets less; what it starts runs at normal priority)\n"
         "  --help        shows this help\n"
         "  --version     shows the version\n"
         "\n"
         "Output: a \"ready\" JSON line once the path exists, then every interval a \"stats\"\n"
         "line with the ground truth per direction (ab, ba), counted since the start:\n"
         "packets and bytes in and out, random drops, queue drops, refused writes\n"
         "(write_drops), the largest queue in bytes, the mean time in the queue, and at\n"
         "the end an \"end\" line with the same fields. max_late_us and late_writes (more\n"
         "than 50 us late) say how well the packets kept their times; udt_data_in and udt_data_drops\n"
         "count the UDP datagrams among them that carry UDT data packets;\n"
         "entry_device_drops and exit_device_drops what the kernel itself dropped at\n"
         "the TUN devices (a full device queue before the path read them, a refused\n"
         "delivery), which should stay 0; exit_udp_rcvbuf_errors the UDP datagrams the\n"
         "receiving namespace's sockets had no room for (lost at that host, not on the path).\n"
         "\n"
         "Example (root; kill %1 removes the path again):\n"
         "  udtbench-path --rtt 100ms --rate 100mbit --loss 1% &\n"
         "  ip netns exec udtbench-b udtbench-cli serve --listen " +
         kAddressB +
         ":9000 --folder /tmp/in &\n"
         "  ip netns exec udtbench-a udtbench-cli send " +
         kAddressB +
         ":9000 sample.bin\n"
         "\n"
         "Exit codes:\n"
         "  0  ended by a signal\n"
         "  1  the path could not be set up\n"
         "  2  bad usage\n"
         "  N  with COMMAND, the command's exit code (128 + N when signal N ended it)\n";
}
