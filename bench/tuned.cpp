// udtbench_tuned: the bench's link settings against plain UDT4, side by side in
// one run. Each round sends one file (default 200 MB) four ways over loopback:
//   described   the windows as they are, MSS 1052 and 2048-byte pieces;
//   tuned       the windows with MSS 1500 and 1 MiB blocks on both sides;
//   plain       plain UDT4 with MSS 1052 and 2048-byte pieces;
//   plain-best  plain UDT4 at its best here: MSS 1500 and 1 MiB sends and receives;
// the tuned windows again without the SHA-256 of the two summaries, and
// then a smaller file with --cc fixed:50 to see the rate it holds. CPU is the
// whole process (both ends) during the transfer. Prints a Markdown table.
//   udtbench_tuned [--rounds R] [--megabytes M] [--fixed-megabytes F]
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bench_support.h"
#include "plain_paths.h"
#include "product_paths.h"
#include "transfer_meter.h"
#include "udt_h.h"

namespace {

using namespace bench;

struct TFigures {
  std::vector<double> MBps, CpuPerGB, Mbit;
  int Failed = 0;
  void Add(const Report& r, int64_t bytes) {
    if (Number(r, "ok") != 1) {
      ++Failed;
      return;
    }
    const double seconds = Number(r, "seconds");
    MBps.push_back(bytes / 1e6 / seconds);
    Mbit.push_back(bytes * 8 / 1e6 / seconds);
    CpuPerGB.push_back(Number(r, "cpu") / (bytes / 1e9));
  }
};

std::string Row(const char* name, const TFigures& f, const char* unit, bool rate) {
  const Summary s = Summarize(rate ? f.Mbit : f.MBps);
  const Summary c = Summarize(f.CpuPerGB);
  char line[256];
  std::snprintf(line, sizeof line, "| %s | %.1f | %.1f | %.1f | %s | %.2f | %zu | %d |\n", name,
                s.median, s.min, s.max, unit, c.median, s.count, f.Failed);
  return line;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 3;
  int64_t megabytes = 200, fixedMegabytes = 25;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::max(1, std::atoi(argv[++i]));
    else if (std::strcmp(argv[i], "--megabytes") == 0) megabytes = std::atoll(argv[++i]);
    else if (std::strcmp(argv[i], "--fixed-megabytes") == 0) fixedMegabytes = std::atoll(argv[++i]);
  }
  QApplication app(argc, argv);
  TUDTSocketServices services;
  const std::string tmp = MakeTempFolder("udtbench-tuned");
  const std::string source = tmp + "/source.bin", fixedSource = tmp + "/fixed.bin";
  const std::string in = tmp + "/in";
  std::system(("mkdir -p " + in).c_str());
  const int64_t bytes = megabytes * 1000000, fixedBytes = fixedMegabytes * 1000000;
  if (!WritePatternFile(source, bytes) || !WritePatternFile(fixedSource, fixedBytes)) return 1;

  TLinkSettings tuned;
  tuned.Mss = 1500;
  tuned.Block = kMaxBlock;
  TLinkSettings fixed = tuned;
  fixed.FixedRateMbps = 50;
  TFigures described, tunedF, unhashed, plain, best, fixedF;
  std::vector<double> tunedVsDescribed, tunedVsBest, cpuVsBest, unhashedCpuVsBest, describedVsPlain;
  for (int r = 0; r < rounds; ++r) {
    const Report d = ProductFileRun(source, in, bytes);
    const Report t = ProductFileRun(source, in, bytes, tuned);
    const Report p = PlainFileRun(source, in, bytes);
    const Report b = PlainTunedFileRun(source, in, bytes, 1500, kMaxBlock);
    // The summaries' SHA-256 on both sides is work plain UDT4 does not do.
    TTransferMeter::SetHashing(false);
    const Report u = ProductFileRun(source, in, bytes, tuned);
    unhashed.Add(u, bytes);
    TTransferMeter::SetHashing(true);
    described.Add(d, bytes);
    tunedF.Add(t, bytes);
    plain.Add(p, bytes);
    best.Add(b, bytes);
    fixedF.Add(ProductFileRun(fixedSource, in, fixedBytes, fixed), fixedBytes);
    auto rate = [](const Report& x) { return Number(x, "ok") == 1 ? 1 / Number(x, "seconds") : 0; };
    auto cpu = [](const Report& x) { return Number(x, "cpu"); };
    if (rate(d) > 0 && rate(t) > 0 && rate(p) > 0 && rate(b) > 0) {
      tunedVsDescribed.push_back(rate(t) / rate(d));
      tunedVsBest.push_back(rate(t) / rate(b));
      cpuVsBest.push_back(cpu(t) / cpu(b));
      if (rate(u) > 0) unhashedCpuVsBest.push_back(cpu(u) / cpu(b));
      describedVsPlain.push_back(rate(d) / rate(p));
    }
    std::fprintf(stderr, "round %d of %d done\n", r + 1, rounds);
  }
  std::string out;
  out += "| Path | Median | Min | Max | Unit | CPU s/GB (median) | Runs | Failed |\n";
  out += "|---|---|---|---|---|---|---|---|\n";
  out += Row("described: windows, MSS 1052, 2048-byte pieces", described, "MB/s", false);
  out += Row("tuned: windows, MSS 1500, 1 MiB blocks both sides", tunedF, "MB/s", false);
  out += Row("tuned, without the summaries' SHA-256", unhashed, "MB/s", false);
  out += Row("plain UDT4, MSS 1052, 2048-byte pieces", plain, "MB/s", false);
  out += Row("plain UDT4 at its best, MSS 1500, 1 MiB", best, "MB/s", false);
  out += Row("windows, --cc fixed:50 (MSS 1500, 1 MiB)", fixedF, "Mbit/s", true);
  auto ratio = [](const char* name, std::vector<double> v, const char* target) {
    const Summary s = Summarize(std::move(v));
    char line[256];
    std::snprintf(line, sizeof line, "| %s | %.2f | %.2f | %.2f | %s |\n", name, s.median, s.min,
                  s.max, target);
    return std::string(line);
  };
  out += "\n| Ratio, same round | Median | Min | Max | Target |\n|---|---|---|---|---|\n";
  out += ratio("tuned / described (rate)", tunedVsDescribed, ">= 2");
  out += ratio("tuned / plain at its best (rate)", tunedVsBest, ">= 0.9");
  out += ratio("tuned / plain at its best (CPU per GB)", cpuVsBest, "<= 1.1");
  out += ratio("tuned without SHA-256 / plain at its best (CPU per GB)", unhashedCpuVsBest, "<= 1.1");
  out += ratio("described / plain (rate)", describedVsPlain, "as before (0.88-1.14)");
  std::fputs(out.c_str(), stdout);
  RemoveTree(tmp);
  services.Stop();
  return 0;
}
