// bench/wan: the bench's own transfer across an emulated long path, beside
// plain UDT4 with the same settings (its native control and a fixed rate) and
// TCP cubic and bbr, over a grid of round-trip times and loss rates. Each
// transfer is a fresh process in the path's namespaces; the path's ground
// truth (udtbench-path's counters) stands beside what the bench reports.
//   udtbench_wan [--quick] [--rounds N] [--seconds S] [--out docs/wan.md]
//   udtbench_wan --rtt MS --loss PCT --rate MBIT [--rounds N] [--json]
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QChart>
#include <QChartView>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLegend>
#include <QLineSeries>
#include <QLogValueAxis>
#include <QValueAxis>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "bench_support.h"
#include "wan_peers.h"

namespace bench {
namespace {

constexpr char kAddressB[] = "198.18.0.2";
constexpr char kPathName[] = "udtbench-wan";
constexpr uint16_t kBenchPort = 9000, kUdtPort = 9001, kTcpPort = 9002;

struct TOptions {
  std::vector<double> Rtts{10, 50, 100, 200};
  std::vector<double> Losses{0, 0.1, 1};
  double RateMbit = 100;
  int Rounds = 3;
  double Seconds = 20;  // the transfers' size is about this long at the native UDT4 rate
  // The fixed-rate transfers' size is about this long at their rate: sized like
  // the others they would last a second or two, mostly start and end.
  double FixedSeconds = 10;
  int64_t Size = 0;     // a size given instead (bytes), with no probe, for every transfer
  bool Json = false;
  bool OneCell = false;
  bool Replot = false;  // the plots again from the report's JSON, no transfers
  std::string Out = "docs/wan.md";
};

std::string IpExe() {
  for (const char* p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
    if (::access(p, X_OK) == 0) return p;
  return "ip";
}

// Runs Args inside the namespace Namespace.
std::vector<std::string> InNamespace(const std::string& Namespace, std::vector<std::string> Args) {
  Args.insert(Args.begin(), {"netns", "exec", Namespace});
  return Args;
}

QJsonObject ParseJson(const std::string& Line) {
  return QJsonDocument::fromJson(QByteArray::fromStdString(Line)).object();
}

std::string Fixed(double v, int digits) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", digits, v);
  return text;
}

// The emulated path of one cell, from its start to its end.
class TPath {
 public:
  TPath(double RttMs, double LossPct, double RateMbit, const std::string& Folder)
      : FStats(Folder + "/path.jsonl"), FDelayMs(RttMs / 2) {
    const int64_t bdp = std::llround(RateMbit * 1e6 / 8 * RttMs / 1e3);
    FPath = std::make_unique<Child>(
        UDTBENCH_PATH,
        std::vector<std::string>{"--rtt", Fixed(RttMs, 3) + "ms", "--rate", Fixed(RateMbit, 3) + "mbit",
                                 "--loss", Fixed(LossPct, 4) + "%", "--queue", std::to_string(bdp),
                                 "--name", kPathName, "--stats", FStats});
  }
  ~TPath() {
    if (FPath) FPath->Stop(SIGTERM, std::chrono::seconds(15));
  }
  bool WaitReady() {
    const auto t0 = Clock::now();
    while (SecondsSince(t0) < 15) {
      if (!Last().isEmpty()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  // The latest counters of both directions ("ab", "ba").
  QJsonObject Last() const {
    std::ifstream in(FStats);
    std::string line, last;
    while (std::getline(in, line))
      if (line.find("\"stats\"") != std::string::npos) last = line;
    return last.empty() ? QJsonObject() : ParseJson(last);
  }
  // A snapshot taken once the stats have moved past the present.
  QJsonObject Settled() const {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    return Last();
  }
  double DelayMs() const { return FDelayMs; }
  std::string A() const { return std::string(kPathName) + "-a"; }
  std::string B() const { return std::string(kPathName) + "-b"; }

 private:
  std::string FStats;
  double FDelayMs;
  std::unique_ptr<Child> FPath;
};

// The path's truth over one transfer: what changed between two snapshots.
struct TPathTruth {
  int64_t DataDrops = 0, Drops = 0, QueueDrops = 0, DeviceDrops = 0;
  int64_t ReceiverSocketDrops = 0;  // datagrams b's sockets had no room for: lost at the host
  double LateShare = 0;  // of the packets a to b, those written more than 50 us after their time
  double RttMs = 0;  // 2 x delay + mean wait in both queues + mean serialization both ways
};

TPathTruth Truth(const QJsonObject& Before, const QJsonObject& After, double DelayMs) {
  TPathTruth t;
  t.RttMs = 2 * DelayMs;
  for (const char* d : {"ab", "ba"}) {
    const QJsonObject b = Before.value(d).toObject(), a = After.value(d).toObject();
    auto delta = [&](const char* k) { return a.value(k).toInteger() - b.value(k).toInteger(); };
    const double queued = std::max<int64_t>(1, delta("queued"));
    t.RttMs += (delta("queue_wait_ns") + delta("serialization_ns")) / queued / 1e6;
    if (std::strcmp(d, "ab") == 0) {
      t.DataDrops = delta("udt_data_drops");
      t.Drops = delta("random_drops") + delta("queue_drops") + delta("write_drops");
      t.QueueDrops = delta("queue_drops");
      t.ReceiverSocketDrops = delta("exit_udp_rcvbuf_errors");
      t.LateShare = static_cast<double>(delta("late_writes")) /
                    static_cast<double>(std::max<int64_t>(1, delta("packets_out")));
    }
    t.DeviceDrops += delta("entry_device_drops") + delta("exit_device_drops");
  }
  return t;
}

// One transfer's figures.
struct TResult {
  bool Ok = false, Complete = false;
  double Mbit = 0, Seconds = 0;
  std::map<std::string, double> Figures;  // the transport's own: rtt_ms, loss, retransmits...
  TPathTruth Path;
};

// This program again as one of the transfer's peers.
std::vector<std::string> Peer(std::vector<std::string> Args) {
  Args.insert(Args.begin(), {SelfExe(), "--peer"});
  return Args;
}

// A plain transfer: a server process in b, a sender process in a.
TResult PlainTransfer(TPath& Path, const std::string& Tcp, double FixedMbit, int64_t Size, double Cap) {
  const bool tcp = !Tcp.empty();
  const std::string port = std::to_string(tcp ? kTcpPort : kUdtPort);
  Child server(IpExe(), InNamespace(Path.B(), Peer({tcp ? "tcp-serve" : "udt-serve", port})));
  TResult r;
  std::string line;
  if (!server.ReadLine(line, std::chrono::seconds(10)) || line != "ready=1") return r;
  const QJsonObject before = Path.Last();
  Child sender(IpExe(), InNamespace(Path.A(), Peer({"send", kAddressB, port,
                                                    std::to_string(Size), Fixed(Cap, 1), Tcp,
                                                    Fixed(FixedMbit, 3)})));
  const Report rep = sender.Finish(std::chrono::milliseconds(static_cast<int64_t>(Cap * 1000) + 30000));
  r.Path = Truth(before, Path.Settled(), Path.DelayMs());
  server.Stop(SIGKILL, std::chrono::seconds(5));
  r.Ok = rep.count("mbit") > 0;
  r.Complete = Number(rep, "complete") == 1;
  r.Mbit = Number(rep, "mbit");
  r.Seconds = Number(rep, "seconds");
  for (const char* k : {"rtt_ms", "retransmits", "loss"}) r.Figures[k] = Number(rep, k);
  return r;
}

// The bench's own transfer: udtbench-cli serve in b, udtbench-cli send in a,
// both with the settings Extra.
TResult BenchTransfer(TPath& Path, const std::string& File, const std::string& Folder,
                      double Bound, const std::vector<std::string>& Extra) {
  TResult r;
  const std::string listen = std::string(kAddressB) + ":" + std::to_string(kBenchPort);
  std::vector<std::string> serve{UDTBENCH_CLI, "serve", "--listen", listen, "--folder", Folder, "--json"};
  serve.insert(serve.end(), Extra.begin(), Extra.end());
  Child server(IpExe(), InNamespace(Path.B(), serve));
  std::string line;
  bool listening = false;
  while (!listening && server.ReadLine(line, std::chrono::seconds(10)))
    listening = ParseJson(line).value("event") == "listening";
  if (!listening) return r;
  const QJsonObject before = Path.Last();
  std::vector<std::string> args{UDTBENCH_CLI, "send", listen, File, "--json"};
  args.insert(args.end(), Extra.begin(), Extra.end());
  Child sender(IpExe(), InNamespace(Path.A(), args));
  QJsonObject sent;
  const auto t0 = Clock::now();
  while (sender.ReadLine(line, std::chrono::milliseconds(static_cast<int64_t>(Bound * 1000))) &&
         SecondsSince(t0) < Bound)
    if (const QJsonObject o = ParseJson(line); o.value("event") == "sent") sent = o;
  sender.Stop(SIGKILL, std::chrono::seconds(5));
  QJsonObject file;
  while (!sent.isEmpty() && file.isEmpty() && server.ReadLine(line, std::chrono::seconds(10)))
    if (const QJsonObject o = ParseJson(line); o.value("event") == "file") file = o;
  r.Path = Truth(before, Path.Settled(), Path.DelayMs());
  server.Stop(SIGTERM, std::chrono::seconds(15));
  ::unlink((Folder + "/" + File.substr(File.rfind('/') + 1)).c_str());
  if (sent.isEmpty() || file.isEmpty()) return r;
  r.Ok = r.Complete = sent.value("sha256") == file.value("sha256");
  // The server's figures: its transfer ends when the last byte is stored.
  r.Seconds = file.value("seconds").toDouble();
  r.Mbit = file.value("bytes").toDouble() * 8 / r.Seconds / 1e6;
  r.Figures["rtt_ms"] = sent.value("rtt_ms").toDouble();
  r.Figures["loss"] = sent.value("loss").toDouble();
  r.Figures["retransmits"] = sent.value("retransmits").toDouble();
  r.Figures["receiver_loss"] = file.value("loss").toDouble();
  r.Figures["lost_packets"] =
      sent.value("data_packets_sent").toDouble() - file.value("data_packets_received").toDouble();
  return r;
}

// Whether udtbench-cli send has a fixed-rate congestion control (--cc fixed:MBIT).
bool BenchHasFixedRate() {
  Child help(UDTBENCH_CLI, {"send", "--help"});
  std::string line, all;
  while (help.ReadLine(line, std::chrono::seconds(10))) all += line + "\n";
  help.Finish(std::chrono::seconds(5));
  return all.find("--cc") != std::string::npos && all.find("fixed") != std::string::npos;
}

// The protocols of a cell, in the order of the first round.
const std::vector<std::string>& Protocols(bool BenchFixed) {
  static const std::vector<std::string> with{"bench", "plain", "cubic", "bbr", "plain_fixed", "fixed"};
  static const std::vector<std::string> without{"bench", "plain", "cubic", "bbr", "plain_fixed"};
  return BenchFixed ? with : without;
}

struct TCell {
  double RttMs = 0, LossPct = 0, RateMbit = 0;
  int64_t Size = 0, FixedSize = 0;
  double ProbeMbit = 0;
  std::map<std::string, std::vector<TResult>> Runs;
  double Minutes = 0;
  double Load = 0;  // the machine's 1-minute load average at the cell's end
};

// The 1-minute load average: a busy machine starves UDT4's user-space threads first.
double LoadAverage() {
  std::ifstream in("/proc/loadavg");
  double load = 0;
  in >> load;
  return load;
}

TCell RunCell(double RttMs, double LossPct, const TOptions& Options, bool BenchFixed) {
  TCell cell;
  cell.RttMs = RttMs;
  cell.LossPct = LossPct;
  cell.RateMbit = Options.RateMbit;
  const auto t0 = Clock::now();
  const std::string folder = MakeTempFolder("udtbench-wan");
  const std::string in = folder + "/in";
  ::mkdir(in.c_str(), 0755);
  {
    TPath path(RttMs, LossPct, Options.RateMbit, folder);
    if (!path.WaitReady()) {
      std::fprintf(stderr, "udtbench_wan: the path did not start (root is needed)\n");
      RemoveTree(folder);
      return cell;
    }
    // The size: about Options.Seconds at the rate plain UDT4 reaches here.
    const double linkBytesPerS = Options.RateMbit * 1e6 / 8;
    const double probeSeconds = std::max(3.0, Options.Seconds / 3);
    if (Options.Size > 0) {
      cell.Size = Options.Size / 1008 * 1008;
    } else {
      const TResult probe = PlainTransfer(
          path, "", 0, static_cast<int64_t>(linkBytesPerS * probeSeconds * 1.2), probeSeconds);
      cell.ProbeMbit = probe.Mbit;
      const double rate = std::max(probe.Mbit, 0.5) * 1e6 / 8;
      cell.Size = static_cast<int64_t>(std::min(rate, linkBytesPerS) * Options.Seconds);
      cell.Size = std::max<int64_t>(cell.Size, 2'000'000) / 1008 * 1008;
    }
    cell.FixedSize = Options.Size > 0 ? cell.Size
                                      : static_cast<int64_t>(linkBytesPerS * 0.9 * Options.FixedSeconds) /
                                            1008 * 1008;
    const std::string file = folder + "/wan.bin";
    const std::string fixedFile = cell.FixedSize == cell.Size ? file : folder + "/wan-fixed.bin";
    WritePatternFile(file, cell.Size);
    if (fixedFile != file) WritePatternFile(fixedFile, cell.FixedSize);
    // Slow cases end after a cap (TCP's at the time the size is for); the
    // bench's own transfer always completes.
    const double cap = Options.Seconds * 1.5, tcpCap = Options.Seconds;
    const double fixedCap = Options.FixedSeconds * 1.5;
    const double bound = std::max(120.0, Options.Seconds * 6);
    std::fprintf(stderr, "cell rtt %g ms, loss %g %%: %lld bytes (plain UDT4 probe %.1f Mbit/s)\n",
                 RttMs, LossPct, static_cast<long long>(cell.Size), cell.ProbeMbit);
    const std::string fixedRate = Fixed(Options.RateMbit * 0.9, 3);
    for (int round = 0; round < Options.Rounds; ++round) {
      std::vector<std::string> order = Protocols(BenchFixed);
      if (round % 2 == 1) std::reverse(order.begin(), order.end());
      for (const std::string& p : order) {
        TResult r;
        if (p == "bench") r = BenchTransfer(path, file, in, bound, {});
        else if (p == "fixed") r = BenchTransfer(path, fixedFile, in, bound, {"--cc", "fixed:" + fixedRate});
        else if (p == "plain") r = PlainTransfer(path, "", 0, cell.Size, cap);
        else if (p == "plain_fixed")
          r = PlainTransfer(path, "", Options.RateMbit * 0.9, cell.FixedSize, fixedCap);
        else r = PlainTransfer(path, p, 0, cell.Size, tcpCap);
        std::fprintf(stderr, "  round %d %-11s %7.2f Mbit/s in %5.1f s%s%s\n", round + 1, p.c_str(),
                     r.Mbit, r.Seconds, r.Ok ? "" : " FAILED", r.Ok && !r.Complete ? " (capped)" : "");
        cell.Runs[p].push_back(r);
      }
    }
  }
  RemoveTree(folder);
  cell.Minutes = SecondsSince(t0) / 60;
  cell.Load = LoadAverage();
  return cell;
}

// The successful runs' values of one figure.
std::vector<double> Values(const std::vector<TResult>& Runs, const std::function<double(const TResult&)>& Of) {
  std::vector<double> v;
  for (const TResult& r : Runs)
    if (r.Ok) v.push_back(Of(r));
  return v;
}

double Median(const std::vector<TResult>& Runs, const std::function<double(const TResult&)>& Of) {
  const std::vector<double> v = Values(Runs, Of);
  return v.empty() ? NAN : Summarize(v).median;
}

double Mbit(const TResult& r) { return r.Mbit; }
std::function<double(const TResult&)> FigureOf(const std::string& Key) {
  return [Key](const TResult& r) { return r.Figures.count(Key) ? r.Figures.at(Key) : NAN; };
}

QJsonValue JsonNumber(double v) { return std::isnan(v) ? QJsonValue() : QJsonValue(v); }

QJsonObject CellJson(const TCell& Cell) {
  QJsonObject o{{"rtt_ms", Cell.RttMs},     {"loss_pct", Cell.LossPct},
                {"rate_mbit", Cell.RateMbit}, {"size_bytes", static_cast<qint64>(Cell.Size)},
                {"fixed_size_bytes", static_cast<qint64>(Cell.FixedSize)},
                {"probe_mbit", Cell.ProbeMbit}, {"minutes", Cell.Minutes},
                {"load_average", Cell.Load}};
  QJsonObject spread;
  for (const auto& [p, runs] : Cell.Runs) {
    o[QString::fromStdString(p + "_mbit")] = JsonNumber(Median(runs, Mbit));
    const std::vector<double> v = Values(runs, Mbit);
    QJsonArray all;
    for (const TResult& r : runs) all.append(r.Ok ? QJsonValue(r.Mbit) : QJsonValue());
    spread[QString::fromStdString(p)] = all;
    int capped = 0;
    for (const TResult& r : runs) capped += r.Ok && !r.Complete;
    if (capped) o[QString::fromStdString(p + "_capped")] = capped;
  }
  o["runs_mbit"] = spread;
  const auto bench = Cell.Runs.find("bench");
  if (bench != Cell.Runs.end()) {
    const auto& runs = bench->second;
    o["bench_rtt_ms"] = JsonNumber(Median(runs, FigureOf("rtt_ms")));
    o["bench_lost_packets"] = JsonNumber(Median(runs, FigureOf("lost_packets")));
    o["bench_loss_reported"] = JsonNumber(Median(runs, FigureOf("loss")));
    o["bench_receiver_loss"] = JsonNumber(Median(runs, FigureOf("receiver_loss")));
    o["bench_retransmits"] = JsonNumber(Median(runs, FigureOf("retransmits")));
    o["path_rtt_ms"] = JsonNumber(Median(runs, [](const TResult& r) { return r.Path.RttMs; }));
    o["path_drops_data"] =
        JsonNumber(Median(runs, [](const TResult& r) { return static_cast<double>(r.Path.DataDrops); }));
    o["path_drops_all"] =
        JsonNumber(Median(runs, [](const TResult& r) { return static_cast<double>(r.Path.Drops); }));
    o["path_queue_drops"] =
        JsonNumber(Median(runs, [](const TResult& r) { return static_cast<double>(r.Path.QueueDrops); }));
    o["receiver_socket_drops"] = JsonNumber(
        Median(runs, [](const TResult& r) { return static_cast<double>(r.Path.ReceiverSocketDrops); }));
    o["path_late_share"] = JsonNumber(Median(runs, [](const TResult& r) { return r.Path.LateShare; }));
    o["path_device_drops"] =
        JsonNumber(Median(runs, [](const TResult& r) { return static_cast<double>(r.Path.DeviceDrops); }));
  }
  for (const char* p : {"plain", "plain_fixed", "cubic", "bbr", "fixed"})
    if (Cell.Runs.count(p))
      o[QString(p) + "_retransmits"] = JsonNumber(Median(Cell.Runs.at(p), FigureOf("retransmits")));
  if (Cell.Runs.count("fixed")) {
    const auto& runs = Cell.Runs.at("fixed");
    o["fixed_lost_packets"] = JsonNumber(Median(runs, FigureOf("lost_packets")));
    o["fixed_path_drops_data"] =
        JsonNumber(Median(runs, [](const TResult& r) { return static_cast<double>(r.Path.DataDrops); }));
  }
  return o;
}

// ---- the report ----

const std::map<std::string, std::string>& Labels() {
  static const std::map<std::string, std::string> labels{
      {"bench", "bench (udtbench-cli)"}, {"plain", "plain UDT4, native"},
      {"plain_fixed", "plain UDT4, fixed 90 %"}, {"fixed", "bench, fixed 90 %"},
      {"cubic", "TCP cubic"}, {"bbr", "TCP bbr"}};
  return labels;
}

std::string Cellf(const std::vector<TResult>& Runs) {
  const std::vector<double> v = Values(Runs, Mbit);
  if (v.empty()) return "failed";
  const Summary s = Summarize(v);
  int capped = 0;
  for (const TResult& r : Runs) capped += r.Ok && !r.Complete;
  return Fixed(s.median, 1) + " (" + Fixed(s.min, 1) + "–" + Fixed(s.max, 1) + ")" +
         (capped ? " ⏱" + std::to_string(capped) : "");
}

// Where the report and its plots go: the folder of --out.
std::string ReportFolder(const TOptions& Options) {
  return Options.Out.substr(0, Options.Out.rfind('/') + 1);
}

std::string PlotName(double LossPct) { return "wan-loss-" + Fixed(LossPct, 1) + ".png"; }

// One PNG per loss rate: throughput against RTT, one line per protocol.
void Plot(const std::vector<TCell>& Cells, double LossPct, const std::vector<std::string>& Protocols,
          const std::string& Path, double RateMbit) {
  auto* chart = new QChart;
  chart->setTitle(QString("Throughput over a %1 Mbit/s path, loss %2 %")
                      .arg(RateMbit)
                      .arg(LossPct));
  auto* x = new QValueAxis;
  x->setTitleText("round-trip time (ms)");
  x->setRange(0, 210);
  x->setTickCount(8);
  x->setLabelFormat("%d");
  auto* y = new QLogValueAxis;
  y->setTitleText("Mbit/s (median, log scale)");
  y->setBase(10);
  y->setRange(0.5, RateMbit * 1.2);
  y->setLabelFormat("%g");
  chart->addAxis(x, Qt::AlignBottom);
  chart->addAxis(y, Qt::AlignLeft);
  for (const std::string& p : Protocols) {
    auto* series = new QLineSeries;
    series->setName(QString::fromStdString(Labels().at(p)));
    series->setPointsVisible(true);
    // A colour of its own for each protocol (the theme repeats after five);
    // the plain programs dashed, the bench's solid.
    static const std::map<std::string, QColor> colours{
        {"bench", QColor(0x1f, 0x77, 0xb4)}, {"fixed", QColor(0xd6, 0x27, 0x28)},
        {"plain", QColor(0x94, 0x67, 0xbd)}, {"plain_fixed", QColor(0x8c, 0x56, 0x4b)},
        {"cubic", QColor(0xff, 0x7f, 0x0e)}, {"bbr", QColor(0x2c, 0xa0, 0x2c)}};
    QPen pen(colours.count(p) ? colours.at(p) : QColor(Qt::black));
    pen.setWidth(2);
    if (p.starts_with("plain")) pen.setStyle(Qt::DashLine);
    series->setPen(pen);
    for (const TCell& c : Cells)
      if (c.LossPct == LossPct && c.Runs.count(p))
        if (const double m = Median(c.Runs.at(p), Mbit); !std::isnan(m) && m > 0)
          series->append(c.RttMs, std::max(m, 0.5));
    chart->addSeries(series);
    series->attachAxis(x);
    series->attachAxis(y);
  }
  chart->legend()->setAlignment(Qt::AlignBottom);
  QChartView view(chart);
  view.setRenderHint(QPainter::Antialiasing);
  view.resize(960, 520);
  view.grab().save(QString::fromStdString(Path));
}

std::string Machine() {
  std::ifstream cpu("/proc/cpuinfo");
  std::string line, model;
  while (std::getline(cpu, line))
    if (line.rfind("model name", 0) == 0) {
      model = line.substr(line.find(':') + 2);
      break;
    }
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  std::ifstream release("/proc/sys/kernel/osrelease");
  std::string kernel;
  std::getline(release, kernel);
  return model + ", " + std::to_string(std::thread::hardware_concurrency()) + " cores, Linux " + kernel;
}

void WriteReport(const std::vector<TCell>& Cells, const TOptions& Options, bool BenchFixed,
                 double Minutes) {
  const std::string folder = ReportFolder(Options);
  // Keep the hand-written part: everything from "## Notes" on.
  std::string notes;
  {
    std::ifstream old(Options.Out);
    std::stringstream all;
    all << old.rdbuf();
    const std::string text = all.str();
    if (const size_t at = text.find("## Notes"); at != std::string::npos) notes = text.substr(at);
  }
  const std::vector<std::string>& protocols = Protocols(BenchFixed);
  std::ofstream md(Options.Out);
  md << "# The bench over an emulated long path\n\n"
     << "Written by `bench/wan` (" << Options.Rounds << " rounds, transfers sized for about "
     << Options.Seconds << " s at plain UDT4's native rate, UDT4 capped at " << Options.Seconds * 1.5
     << " s and TCP at " << Options.Seconds << " s; the fixed-rate ones for about " << Options.FixedSeconds
     << " s at their rate, capped at " << Options.FixedSeconds * 1.5 << " s; the whole grid took " << Fixed(Minutes, 1) << " min) on " << Machine() << ".\n\n"
     << "Each cell is a fresh `udtbench-path` between two namespaces: " << Options.RateMbit
     << " Mbit/s both ways, the RTT split evenly, random loss on every packet in both "
        "directions, a drop-tail queue of one BDP. Each transfer is a fresh process pair: "
        "`udtbench-cli serve`/`send` for the bench (its own settings: MSS 1052, UDT4's "
        "defaults otherwise); a plain UDT4 program with the same settings, with UDT4's native "
        "control and with a fixed-rate control at 90 % of the link (the textbook one: a fixed gap "
        "between packets); the bench with its own fixed-rate control at 90 % at both ends "
        "(`--cc fixed:MBIT`); TCP with cubic and with bbr (set per socket with TCP_CONGESTION). "
        "All but the fixed-rate ones send the same size per cell; the order "
        "alternates between rounds. Figures are Mbit/s of payload, median (min–max); ⏱N marks "
        "runs that hit the cap, whose rate counts the bytes acknowledged by then.\n\n";
  double load = 0;
  for (const TCell& c : Cells) load += c.Load / static_cast<double>(Cells.size());
  md << "The machine's 1-minute load average at the end of the cells was " << Fixed(load, 1)
     << " on average: UDT4's sending and receiving run in user space and feel a busy machine "
        "first, TCP's work is done in the kernel.\n\n";
  md << "## Throughput\n\n| RTT ms | loss % | size MB (fixed rate) |";
  for (const std::string& p : protocols) md << " " << Labels().at(p) << " |";
  md << "\n|---|---|---|";
  for (size_t i = 0; i < protocols.size(); ++i) md << "---|";
  md << "\n";
  for (const TCell& c : Cells) {
    md << "| " << c.RttMs << " | " << c.LossPct << " | " << Fixed(c.Size / 1e6, 1) << " ("
       << Fixed(c.FixedSize / 1e6, 1) << ") |";
    for (const std::string& p : protocols) md << " " << (c.Runs.count(p) ? Cellf(c.Runs.at(p)) : "–") << " |";
    md << "\n";
  }
  md << "\n";
  for (double loss : Options.Losses) {
    const std::string name = PlotName(loss);
    Plot(Cells, loss, protocols, folder + name, Options.RateMbit);
    md << "![Throughput against RTT at " << loss << " % loss](" << name << ")\n\n";
  }
  md << "## What the bench reports beside the path's truth\n\n"
     << "Medians over the bench's transfers. *Bench RTT* is the sender's `rtt_ms`; *path RTT* "
        "is 2 × delay plus the mean wait in both queues and the mean serialization during the "
        "transfer. *Reported loss* is the sender's `loss` (UDT4's pktSndLossTotal), *receiver "
        "loss* the server's `loss` (pktRcvLossTotal), *lost on the path* the sender's "
        "`data_packets_sent` less the server's `data_packets_received`; *path data drops* are "
        "the UDT data packets `udtbench-path` dropped from a to b (random and queue drops), "
        "*queue drops* the part of them the full queue dropped; *socket drops* the UDP "
        "datagrams the receiving host's sockets had no room for (RcvbufErrors in b: lost at "
        "the host, not on the path, and so in *lost on the path* but not in the path's drops).\n\n"
     << "| RTT ms | loss % | bench RTT ms | path RTT ms | reported loss | receiver loss | "
        "retransmits | lost on the path | path data drops | queue drops | socket drops |\n"
     << "|---|---|---|---|---|---|---|---|---|---|---|\n";
  for (const TCell& c : Cells) {
    const QJsonObject o = CellJson(c);
    auto f = [&](const char* k, int digits) {
      return o.value(k).isDouble() ? Fixed(o.value(k).toDouble(), digits) : std::string("–");
    };
    md << "| " << c.RttMs << " | " << c.LossPct << " | " << f("bench_rtt_ms", 1) << " | "
       << f("path_rtt_ms", 1) << " | " << f("bench_loss_reported", 0) << " | "
       << f("bench_receiver_loss", 0) << " | " << f("bench_retransmits", 0) << " | "
       << f("bench_lost_packets", 0) << " | " << f("path_drops_data", 0) << " | "
       << f("path_queue_drops", 0) << " | " << f("receiver_socket_drops", 0) << " |\n";
  }
  md << "\n## Every cell as JSON\n\n```\n";
  for (const TCell& c : Cells) md << QJsonDocument(CellJson(c)).toJson(QJsonDocument::Compact).toStdString() << "\n";
  md << "```\n\n" << (notes.empty() ? "## Notes\n\n(none yet)\n" : notes);
}

int PeerMain(int argc, char** argv) {
  const std::string mode = argv[2];
  if (mode == "udt-serve" || mode == "tcp-serve")
    return argc > 3 ? WanServe(mode == "tcp-serve", static_cast<uint16_t>(std::stoi(argv[3]))) : 2;
  if (mode == "send" && argc > 8) {
    TWanSend s;
    s.Host = argv[3];
    s.Port = static_cast<uint16_t>(std::stoi(argv[4]));
    s.Size = std::stoll(argv[5]);
    s.CapSeconds = std::stod(argv[6]);
    s.Tcp = argv[7];
    s.FixedMbit = std::stod(argv[8]);
    return WanSend(s);
  }
  return 2;
}

// The cells of an earlier report, from its JSON lines: what the plots need.
std::vector<TCell> CellsOfReport(const std::string& Path) {
  std::vector<TCell> cells;
  std::ifstream in(Path);
  for (std::string line; std::getline(in, line);) {
    if (!line.starts_with("{")) continue;
    const QJsonObject o = ParseJson(line);
    if (!o.contains("runs_mbit")) continue;
    TCell c;
    c.RttMs = o.value("rtt_ms").toDouble();
    c.LossPct = o.value("loss_pct").toDouble();
    c.RateMbit = o.value("rate_mbit").toDouble();
    const QJsonObject runs = o.value("runs_mbit").toObject();
    for (auto r = runs.begin(); r != runs.end(); ++r)
      for (const QJsonValue v : r.value().toArray()) {
        TResult result;
        result.Ok = v.isDouble();
        result.Mbit = v.toDouble();
        c.Runs[r.key().toStdString()].push_back(result);
      }
    cells.push_back(c);
  }
  return cells;
}

int Replot(const TOptions& Options) {
  const std::vector<TCell> cells = CellsOfReport(Options.Out);
  if (cells.empty()) {
    std::fprintf(stderr, "udtbench_wan: no cells in %s\n", Options.Out.c_str());
    return 1;
  }
  const bool benchFixed = cells.front().Runs.count("fixed") > 0;
  const std::string folder = ReportFolder(Options);
  for (double loss : Options.Losses)
    Plot(cells, loss, Protocols(benchFixed), folder + PlotName(loss), cells.front().RateMbit);
  return 0;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  using namespace bench;
  if (argc > 2 && std::strcmp(argv[1], "--peer") == 0) return PeerMain(argc, argv);
  TOptions o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--rtt") o.Rtts = {std::stod(next())}, o.OneCell = true;
    else if (a == "--loss") o.Losses = {std::stod(next())};
    else if (a == "--rate") o.RateMbit = std::stod(next());
    else if (a == "--rounds") o.Rounds = std::stoi(next());
    else if (a == "--seconds") o.Seconds = std::stod(next());
    else if (a == "--fixed-seconds") o.FixedSeconds = std::stod(next());
    else if (a == "--out") o.Out = next();
    else if (a == "--size") o.Size = std::llround(std::stod(next()) * 1e6);
    else if (a == "--json") o.Json = true;
    else if (a == "--replot") o.Replot = true;
    else if (a == "--quick") {
      o.Rtts = {10, 100};
      o.Losses = {0, 1};
      o.Rounds = 1;
      o.Seconds = 5;
      o.FixedSeconds = 3;
    } else {
      std::fprintf(stderr,
                   "usage: udtbench_wan [--quick] [--rounds N] [--seconds S] [--rate MBIT] [--out FILE]\n"
                   "       udtbench_wan --rtt MS [--loss PCT] [--rate MBIT] [--rounds N] [--json]\n"
                   "  --size MB  every transfer of a cell this size instead of one sized by a probe\n"
                   "  --fixed-seconds S  the fixed-rate transfers sized for S s at their rate (10)\n"
                   "  --replot   draws the plots of the report (--out) again from its JSON\n");
      return 2;
    }
  }
  if (o.Replot) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return Replot(o);
  }
  if (::geteuid() != 0) {
    std::fprintf(stderr, "udtbench_wan: the emulated path needs root (network namespaces)\n");
    return 1;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const bool benchFixed = BenchHasFixedRate();
  const auto t0 = Clock::now();
  std::vector<TCell> cells;
  for (double loss : o.Losses)
    for (double rtt : o.Rtts) {
      cells.push_back(RunCell(rtt, loss, o, benchFixed));
      std::sort(cells.begin(), cells.end(), [](const TCell& a, const TCell& b) {
        return std::tie(a.RttMs, a.LossPct) < std::tie(b.RttMs, b.LossPct);
      });
      // The report so far, so that a long grid cut short keeps what it measured.
      if (!o.OneCell) WriteReport(cells, o, benchFixed, SecondsSince(t0) / 60);
    }
  if (o.OneCell) {
    for (const TCell& c : cells) {
      if (o.Json) std::printf("%s\n", QJsonDocument(CellJson(c)).toJson(QJsonDocument::Compact).constData());
      else std::printf("%s\n", QJsonDocument(CellJson(c)).toJson().constData());
    }
    return 0;
  }
  std::fprintf(stderr, "wrote %s\n", o.Out.c_str());
  return 0;
}
