// The benchmark suite: the bench's own paths against plain UDT4 programs doing
// the same work, in the same run, with TCP over loopback printed beside as the
// yardstick a user compares with.
//
//   udtbench_suite [--rounds R] [--out FILE] [--smoke] [--only PART] [--conversations N]
//
// PART is file, file-server, file-client, text, clients, memory or startup;
// with --only nothing is written. file is the client window sending into the
// server window in one process; file-server and file-client measure one side
// of that transfer at a time against a plain UDT4 program on the other side.
//
// Every measurement runs in a child process of its own (this program started
// again with --child), so CPU time and memory belong to that path alone. The
// variants of one comparison run one after another in each round, their order
// alternating, and each ratio is taken within a round; a figure is the median
// of the rounds with its min and max. --smoke runs everything once with tiny
// sizes and writes nothing.
#include <arpa/inet.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <udt/udt.h>
#include <unistd.h>

#include <QApplication>
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "app_support.h"
#include "bench_support.h"
#include "plain_paths.h"
#include "product_paths.h"
#include "udt_h.h"

using namespace bench;

namespace {

constexpr auto kChildBound = std::chrono::minutes(5);

struct Options {
  int rounds = 3;
  bool smoke = false;
  std::string out;
  std::string command = "bench/run";  // as the figures were made, for the report
  int64_t fileBytes = 200'000'000;
  int textTrips = 2000;
  int clients = 10;
  int64_t multiBytes = 20'000'000;
  int conversations = 1000;
  int startupRuns = 10;
  std::string only;  // run only this part (see the top of this file)
};

// ---- child side ----

std::string Arg(int argc, char** argv, const char* name, const char* fallback = "") {
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
  return fallback;
}

void Print(const Report& r) {
  for (const auto& [k, v] : r) std::printf("%s=%s\n", k.c_str(), v.c_str());
  std::fflush(stdout);
}

int RunChild(int argc, char** argv) {
  const std::string mode = Arg(argc, argv, "--child");
  const std::string source = Arg(argc, argv, "--source");
  const std::string folder = Arg(argc, argv, "--folder");
  const int64_t size = std::strtoll(Arg(argc, argv, "--size", "0").c_str(), nullptr, 10);
  const int count = std::atoi(Arg(argc, argv, "--count", "0").c_str());
  TUDTSocketServices services;
  if (mode == "file-plain") return Print(PlainFileRun(source, folder, size)), 0;
  if (mode == "file-tcp") return Print(TcpFileRun(source, folder, size)), 0;
  if (mode == "text-plain") return Print(PlainTextRun(count)), 0;
  if (mode == "text-plain-select") return Print(PlainTextRun(count, true)), 0;
  if (mode == "multi-plain") return Print(PlainMultiRun(source, folder, count, size)), 0;
  const auto port = static_cast<uint16_t>(std::atoi(Arg(argc, argv, "--port", "0").c_str()));
  if (mode == "server-plain") return PlainServerProcess(port, folder);
  if (mode == "file-client-plain") return Print(PlainFileClient(port, source, size)), 0;

  QApplication app(argc, argv);
  InstallMainThreadSynchronize();
  if (mode == "file-product") return Print(ProductFileRun(source, folder, size)), 0;
  if (mode == "text-product") return Print(ProductTextRun(count)), 0;
  if (mode == "multi-product") return Print(ProductMultiRun(source, folder, count, size)), 0;
  if (mode == "server") return ProductServerProcess(port, folder);
  if (mode == "file-client-product") return Print(ProductFileClient(port, source, folder, size)), 0;
  std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
  return 2;
}

// ---- parent side ----

Report RunMode(const std::string& mode, const std::vector<std::string>& args) {
  std::vector<std::string> all{"--child", mode};
  all.insert(all.end(), args.begin(), args.end());
  Child child(SelfExe(), all, {"QT_QPA_PLATFORM=offscreen"});
  Report r = child.Finish(kChildBound);
  if (r["exit"] != "0" || r["ok"] != "1")
    std::fprintf(stderr, "  %s failed (exit %s, ok %s)\n", mode.c_str(), r["exit"].c_str(),
                 r.count("ok") ? r["ok"].c_str() : "-");
  return r;
}

bool Ok(const Report& r) { return r.count("ok") && r.at("ok") == "1" && r.at("exit") == "0"; }

// One row of the table: a figure over the rounds.
struct Row {
  std::string name;
  std::string unit;
  Summary s;
  std::string target;  // empty when the row has none
  bool met = true;
};

std::string Fixed(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

struct Table {
  std::vector<Row> rows;
  bool failed = false;  // a run did not complete

  void Add(const std::string& name, const std::string& unit, const std::vector<double>& values,
           const std::string& target = {}, std::function<bool(const Summary&)> meets = {}) {
    Row row{name, unit, Summarize(values), target, true};
    if (meets) row.met = row.s.count > 0 && meets(row.s);
    rows.push_back(row);
    std::printf("  %-58s %10s %-6s (min %s, max %s)%s\n", name.c_str(),
                Fixed(row.s.median, Decimals(row.s.median)).c_str(), unit.c_str(),
                Fixed(row.s.min, Decimals(row.s.min)).c_str(),
                Fixed(row.s.max, Decimals(row.s.max)).c_str(),
                target.empty() ? "" : (std::string("  target ") + target + (row.met ? ": met" : ": MISSED")).c_str());
    std::fflush(stdout);
  }
  static int Decimals(double v) { return std::fabs(v) >= 100 ? 1 : (std::fabs(v) >= 10 ? 2 : 3); }
};

std::string ShellLine(const char* cmd) {
  std::string out;
  if (FILE* p = ::popen(cmd, "r")) {
    char buf[256];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    ::pclose(p);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

std::string CpuModel() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  return "unknown";
}

void FileTransfer(const Options& o, const std::string& tmp, Table& t) {
  std::printf("File transfer, %lld bytes, %d rounds\n", static_cast<long long>(o.fileBytes), o.rounds);
  ::mkdir((tmp + "/src").c_str(), 0755);
  const std::string source = tmp + "/src/transfer-source.bin";
  WritePatternFile(source, o.fileBytes);
  std::vector<double> pm, bm, tm, pc, bc, ratio, cpuRatio;
  const std::vector<std::string> args{"--source", source, "--folder", tmp, "--size",
                                      std::to_string(o.fileBytes)};
  for (int round = 0; round < o.rounds; ++round) {
    Report product, plain, tcp;
    auto runProduct = [&] {
      product = RunMode("file-product", args);
      if (o.smoke && Ok(product) && !SameContent(source, tmp + "/transfer-source.bin")) {
        std::fprintf(stderr, "  the product's copy differs from the source\n");
        product["ok"] = "0";
      }
      RemoveTree(tmp + "/transfer-source.bin");
    };
    auto runPlain = [&] {
      plain = RunMode("file-plain", args);
      RemoveTree(tmp + "/bench.bin");
    };
    if (round % 2 == 0) {
      runProduct();
      runPlain();
    } else {
      runPlain();
      runProduct();
    }
    tcp = RunMode("file-tcp", args);
    RemoveTree(tmp + "/bench-tcp.bin");
    if (!Ok(product) || !Ok(plain) || !Ok(tcp)) {
      t.failed = true;
      continue;
    }
    const double gb = o.fileBytes / 1e9;
    pm.push_back(Number(product, "mbps"));
    bm.push_back(Number(plain, "mbps"));
    tm.push_back(Number(tcp, "mbps"));
    pc.push_back(Number(product, "cpu") / gb);
    bc.push_back(Number(plain, "cpu") / gb);
    ratio.push_back(pm.back() / bm.back());
    cpuRatio.push_back(pc.back() / bc.back());
  }
  RemoveTree(tmp + "/src");
  t.Add("File transfer: bench (SendFile -> pooled handler)", "MB/s", pm);
  t.Add("File transfer: plain UDT4", "MB/s", bm);
  t.Add("File transfer: TCP over loopback (yardstick)", "MB/s", tm);
  t.Add("File transfer: throughput ratio bench/plain", "x", ratio, ">= 0.9, min >= 0.85",
        [](const Summary& s) { return s.median >= 0.9 && s.min >= 0.85; });
  t.Add("File transfer: bench CPU per GB", "s/GB", pc);
  t.Add("File transfer: plain CPU per GB", "s/GB", bc);
  t.Add("File transfer: CPU per GB ratio bench/plain", "x", cpuRatio, "<= 1.15",
        [](const Summary& s) { return s.median <= 1.15; });
}

// A server process of the given mode, storing files in folder, on a port of its own.
struct TServerChild {
  uint16_t port = FreeUdpPort();
  Child child;
  bool ready = false;
  TServerChild(const std::string& mode, const std::string& folder)
      : child(SelfExe(), {"--child", mode, "--port", std::to_string(port), "--folder", folder},
              {"QT_QPA_PLATFORM=offscreen"}) {
    std::string line;
    ready = child.ReadLine(line, std::chrono::seconds(30)) && line == "ready=1";
    if (!ready) std::fprintf(stderr, "  the %s process did not start\n", mode.c_str());
  }
};

// One side of the file transfer at a time: the program's server window fed by a
// plain UDT4 client against a plain UDT4 server fed by the same client
// (serverSide), or the program's client window sending into a plain UDT4 server
// against a plain UDT4 client sending into it. Each variant gets a fresh server
// process; CPU is that of the side under test.
void FileSide(const Options& o, const std::string& tmp, Table& t, bool serverSide) {
  const char* what = serverSide ? "server" : "client";
  std::printf("File transfer, the %s alone against plain UDT4, %lld bytes, %d rounds\n", what,
              static_cast<long long>(o.fileBytes), o.rounds);
  ::mkdir((tmp + "/src").c_str(), 0755);
  const std::string source = tmp + "/src/side-source.bin";
  WritePatternFile(source, o.fileBytes);
  const std::string folder = tmp + "/side";
  std::vector<double> pm, bm, pc, bc, ratio, cpuRatio;
  // Runs one variant; fills mbps and CPU seconds of the side under test.
  auto run = [&](bool product, double& mbps, double& cpu) {
    RemoveTree(folder);
    ::mkdir(folder.c_str(), 0755);
    const std::string serverMode = serverSide && product ? "server" : "server-plain";
    const std::string clientMode =
        !serverSide && product ? "file-client-product" : "file-client-plain";
    TServerChild server(serverMode, folder);
    if (!server.ready) return false;
    const double cpu0 = ProcessCpuSeconds(server.child.Pid());
    Report c = RunMode(clientMode, {"--port", std::to_string(server.port), "--source", source,
                                    "--folder", folder, "--size", std::to_string(o.fileBytes)});
    const double cpu1 = ProcessCpuSeconds(server.child.Pid());
    server.child.Stop(SIGKILL, std::chrono::seconds(10));
    // The plain client sends the name "bench.bin", and the plain server stores every file so.
    const std::string stored = folder + "/bench.bin";
    bool ok = Ok(c) && FileSize(stored) == o.fileBytes;
    if (ok && o.smoke && !SameContent(source, stored)) {
      std::fprintf(stderr, "  the stored copy differs from the source\n");
      ok = false;
    }
    if (!ok) std::fprintf(stderr, "  %s into %s failed\n", clientMode.c_str(), serverMode.c_str());
    mbps = Number(c, "mbps");
    cpu = serverSide ? cpu1 - cpu0 : Number(c, "cpu");
    return ok;
  };
  for (int round = 0; round < o.rounds; ++round) {
    double productMbps = 0, productCpu = 0, plainMbps = 0, plainCpu = 0;
    bool productOk, plainOk;
    if (round % 2 == 0) {
      productOk = run(true, productMbps, productCpu);
      plainOk = run(false, plainMbps, plainCpu);
    } else {
      plainOk = run(false, plainMbps, plainCpu);
      productOk = run(true, productMbps, productCpu);
    }
    if (!productOk || !plainOk) {
      t.failed = true;
      continue;
    }
    const double gb = o.fileBytes / 1e9;
    pm.push_back(productMbps);
    bm.push_back(plainMbps);
    pc.push_back(productCpu / gb);
    bc.push_back(plainCpu / gb);
    ratio.push_back(pm.back() / bm.back());
    cpuRatio.push_back(pc.back() / bc.back());
  }
  RemoveTree(folder);
  RemoveTree(tmp + "/src");
  const std::string side = serverSide ? "Server side: " : "Client side: ";
  if (serverSide) {
    t.Add(side + "bench server window fed by a plain client", "MB/s", pm);
    t.Add(side + "plain UDT4 server fed by the same client", "MB/s", bm);
  } else {
    t.Add(side + "bench client window into a plain server", "MB/s", pm);
    t.Add(side + "plain UDT4 client into the same server", "MB/s", bm);
  }
  t.Add(side + "throughput ratio bench/plain", "x", ratio, ">= 0.95",
        [](const Summary& s) { return s.median >= 0.95; });
  t.Add(side + std::string("bench ") + what + " CPU per GB", "s/GB", pc);
  t.Add(side + std::string("plain ") + what + " CPU per GB", "s/GB", bc);
  t.Add(side + "CPU per GB ratio bench/plain", "x", cpuRatio, "<= 1.1",
        [](const Summary& s) { return s.median <= 1.1; });
}

void TextExchange(const Options& o, Table& t) {
  std::printf("Text exchange, %d round trips, %d rounds\n", o.textTrips, o.rounds);
  const std::vector<std::string> args{"--count", std::to_string(o.textTrips)};
  std::vector<double> pmed, bmed, pp99, bp99, preply, pshown, ratio, p99Ratio, smed, sratio;
  for (int round = 0; round < o.rounds; ++round) {
    Report product, plain, selecting;
    if (round % 2 == 0) {
      product = RunMode("text-product", args);
      plain = RunMode("text-plain", args);
      selecting = RunMode("text-plain-select", args);
    } else {
      selecting = RunMode("text-plain-select", args);
      plain = RunMode("text-plain", args);
      product = RunMode("text-product", args);
    }
    if (Ok(selecting) && Ok(plain)) {
      smed.push_back(Number(selecting, "median_us"));
      sratio.push_back(smed.back() / Number(plain, "median_us"));
    }
    if (!Ok(product) || !Ok(plain)) {
      t.failed = true;
      continue;
    }
    pmed.push_back(Number(product, "median_us"));
    bmed.push_back(Number(plain, "median_us"));
    pp99.push_back(Number(product, "p99_us"));
    bp99.push_back(Number(plain, "p99_us"));
    preply.push_back(Number(product, "median_reply_us"));
    pshown.push_back(Number(product, "median_shown_us"));
    ratio.push_back(pmed.back() / bmed.back());
    p99Ratio.push_back(pp99.back() / bp99.back());
  }
  t.Add("Text exchange: bench median round trip", "us", pmed);
  t.Add("Text exchange: plain median round trip", "us", bmed);
  t.Add("Text exchange: bench p99 round trip", "us", pp99);
  t.Add("Text exchange: plain p99 round trip", "us", bp99);
  t.Add("Text exchange: bench median until the client has its reply", "us", preply);
  t.Add("Text exchange: bench median until every view has laid out its text", "us", pshown);
  t.Add("Text exchange: plain, client waiting in select as the window did, median", "us", smed);
  t.Add("Text exchange: median ratio of that plain variant/plain", "x", sratio);
  t.Add("Text exchange: median ratio bench/plain", "x", ratio, "<= 1.1",
        [](const Summary& s) { return s.median <= 1.1; });
  t.Add("Text exchange: p99 ratio bench/plain", "x", p99Ratio, "<= 1.2",
        [](const Summary& s) { return s.median <= 1.2; });
}

void ManyClients(const Options& o, const std::string& tmp, Table& t) {
  std::printf("%d clients at once, %lld bytes each, %d rounds\n", o.clients,
              static_cast<long long>(o.multiBytes), o.rounds);
  ::mkdir((tmp + "/src").c_str(), 0755);
  const std::string source = tmp + "/src/multi-source.bin";
  WritePatternFile(source, o.multiBytes);
  const std::vector<std::string> args{"--source", source, "--folder", tmp, "--size",
                                      std::to_string(o.multiBytes), "--count",
                                      std::to_string(o.clients)};
  std::vector<double> pm, bm, ratio;
  auto clean = [&] {
    for (int i = 0; i < o.clients; ++i) {
      RemoveTree(tmp + "/multi" + std::to_string(i) + ".bin");
      RemoveTree(tmp + "/bench" + std::to_string(i) + ".bin");
    }
  };
  for (int round = 0; round < o.rounds; ++round) {
    Report product, plain;
    if (round % 2 == 0) {
      product = RunMode("multi-product", args);
      clean();
      plain = RunMode("multi-plain", args);
    } else {
      plain = RunMode("multi-plain", args);
      clean();
      product = RunMode("multi-product", args);
    }
    clean();
    if (!Ok(product) || !Ok(plain)) {
      t.failed = true;
      continue;
    }
    pm.push_back(Number(product, "mbps"));
    bm.push_back(Number(plain, "mbps"));
    ratio.push_back(pm.back() / bm.back());
  }
  RemoveTree(tmp + "/src");
  t.Add("Ten clients: bench aggregate", "MB/s", pm);
  t.Add("Ten clients: plain aggregate", "MB/s", bm);
  t.Add("Ten clients: aggregate ratio bench/plain", "x", ratio, ">= 0.9",
        [](const Summary& s) { return s.median >= 0.9; });
}

// A plain UDT4 client for the memory figures: one text exchange.
int Converse(uint16_t port, bool close) {
  int s = UDT::socket(AF_INET, SOCK_STREAM, 0);
  int mss = 1052;
  UDT::setsockopt(s, 0, UDT_MSS, &mss, sizeof mss);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = UDT::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != UDT::ERROR;
  const std::u16string text = u"memory";
  int32_t count = static_cast<int32_t>(text.size());
  ok = ok && UDT::send(s, reinterpret_cast<char*>(&count), 4, 0) == 4 &&
       UDT::send(s, reinterpret_cast<const char*>(text.data()), count * 2, 0) == count * 2;
  // The reply: "Act: memory", count then characters.
  char reply[4 + 22];
  int got = 0;
  while (ok && got < static_cast<int>(sizeof reply)) {
    int r = UDT::recv(s, reply + got, static_cast<int>(sizeof reply) - got, 0);
    ok = r > 0;
    got += std::max(r, 0);
  }
  if (close || !ok) {
    UDT::close(s);
    return ok ? 0 : -1;
  }
  return s;
}

struct MemoryRun {
  bool ok = false;
  double afterTen = 0, afterAll = 0, settled = 0, holding = 0;
  int threads = 0;
};

// Starts a server process of the given mode and holds conversations with it.
MemoryRun MeasureServer(const Options& o, const std::string& mode) {
  MemoryRun m;
  const uint16_t port = FreeUdpPort();
  Child server(SelfExe(), {"--child", mode, "--port", std::to_string(port)},
               {"QT_QPA_PLATFORM=offscreen"});
  std::string line;
  if (!server.ReadLine(line, std::chrono::seconds(30)) || line != "ready=1") {
    std::fprintf(stderr, "  the %s process did not start\n", mode.c_str());
    return m;
  }
  bool ok = true;
  for (int i = 0; ok && i < o.conversations; ++i) {
    ok = Converse(port, true) == 0;
    if (i == 9) m.afterTen = static_cast<double>(ResidentBytes(server.Pid()));
  }
  m.afterAll = static_cast<double>(ResidentBytes(server.Pid()));
  // UDT4's collector frees closed sockets on its ticks, about a second apart.
  std::this_thread::sleep_for(std::chrono::seconds(4));
  m.settled = static_cast<double>(ResidentBytes(server.Pid()));
  std::vector<int> held;
  for (int i = 0; ok && i < 10; ++i) {
    int s = Converse(port, false);
    ok = s > 0;
    if (ok) held.push_back(s);
  }
  m.holding = static_cast<double>(ResidentBytes(server.Pid()));
  m.threads = ThreadCount(server.Pid());
  for (int s : held) UDT::close(s);
  server.Stop(SIGKILL, std::chrono::seconds(10));
  if (!ok) std::fprintf(stderr, "  a conversation with the %s process failed\n", mode.c_str());
  m.ok = ok;
  return m;
}

void Memory(const Options& o, Table& t) {
  std::printf("Memory: %d conversations one after another, then ten idle, %d rounds\n",
              o.conversations, o.rounds);
  std::vector<double> early, late, growth, settled, idle, threads, plainGrowth, plainSettled,
      plainIdle;
  for (int round = 0; round < o.rounds; ++round) {
    MemoryRun product, plain;
    if (round % 2 == 0) {
      product = MeasureServer(o, "server");
      plain = MeasureServer(o, "server-plain");
    } else {
      plain = MeasureServer(o, "server-plain");
      product = MeasureServer(o, "server");
    }
    if (!product.ok || !plain.ok) {
      t.failed = true;
      continue;
    }
    early.push_back(product.afterTen / 1e6);
    late.push_back(product.afterAll / 1e6);
    growth.push_back((product.afterAll - product.afterTen) / 1e6);
    idle.push_back(product.holding / 1e6);
    threads.push_back(product.threads);
    settled.push_back((product.settled - product.afterTen) / 1e6);
    plainGrowth.push_back((plain.afterAll - plain.afterTen) / 1e6);
    plainSettled.push_back((plain.settled - plain.afterTen) / 1e6);
    plainIdle.push_back(plain.holding / 1e6);
  }
  const std::string n = std::to_string(o.conversations);
  t.Add("Memory: bench resident after the first 10 conversations", "MB", early);
  t.Add("Memory: bench resident after " + n + " conversations", "MB", late);
  t.Add("Memory: bench growth from 10 to " + n + " conversations, at once", "MB", growth);
  t.Add("Memory: plain UDT4 server growth from 10 to " + n + " conversations", "MB", plainGrowth);
  t.Add("Memory: bench growth, 4 s after the last conversation", "MB", settled, "<= 10",
        [](const Summary& s) { return s.median <= 10; });
  t.Add("Memory: plain UDT4 server growth, 4 s after the last conversation", "MB", plainSettled);
  t.Add("Memory: bench resident holding ten idle conversations", "MB", idle, "< 64",
        [](const Summary& s) { return s.median < 64; });
  t.Add("Memory: plain UDT4 server resident holding ten idle conversations", "MB", plainIdle);
  t.Add("Memory: bench server threads holding ten idle conversations", "", threads);
}

// True when a UDP socket is bound to port 2048 on any local address.
bool PortBound() {
  std::ifstream in("/proc/net/udp");
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string slot, local;
    f >> slot >> local;
    if (local.size() > 5 && local.compare(local.size() - 5, 5, ":0800") == 0) return true;
  }
  return false;
}

void StartUp(const Options& o, Table& t) {
  std::printf("Start-up to listening on port 2048, %d runs after one warm-up\n", o.startupRuns);
  if (PortBound()) {
    std::fprintf(stderr, "  port 2048 is taken; start-up not measured\n");
    t.failed = true;
    return;
  }
  std::vector<double> ms;
  for (int run = -1; run < o.startupRuns; ++run) {
    const auto t0 = Clock::now();
    Child bench(UDTBENCH_EXECUTABLE, {}, {"QT_QPA_PLATFORM=offscreen"});
    bool listening = false;
    while (!listening && SecondsSince(t0) < 10) {
      listening = PortBound();
      if (!listening) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const double elapsed = SecondsSince(t0) * 1e3;
    const int status = bench.Stop(SIGTERM, std::chrono::seconds(10));
    if (!listening || status != 0) {
      std::fprintf(stderr, "  run %d: listening %d, exit %d\n", run, listening, status);
      t.failed = true;
      continue;
    }
    if (run >= 0) ms.push_back(elapsed);
    // The next run must not see this one's socket.
    const auto gone = Clock::now();
    while (PortBound() && SecondsSince(gone) < 10)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  t.Add("Start-up: process start to listening", "ms", ms, "< 300",
        [](const Summary& s) { return s.median < 300; });
}

// Another benchmark program, run as it is, with a bound between its lines; its
// printed figures.
std::string ChildReport(const char* title, const char* program, std::vector<std::string> args,
                        std::chrono::minutes lineBound) {
  std::printf("%s\n", title);
  std::fflush(stdout);
  Child child(program, std::move(args));
  std::string all, line;
  while (child.ReadLine(line, lineBound)) all += line + "\n";
  child.Stop(SIGKILL, std::chrono::seconds(5));
  std::fputs(all.c_str(), stdout);
  return all;
}

// The hand-written part of an earlier report: everything from "## Notes" on.
std::string KeptNotes(const std::string& path) {
  std::ifstream in(path);
  std::stringstream all;
  all << in.rdbuf();
  const std::string text = all.str();
  const auto at = text.find("\n## Notes\n");
  return at == std::string::npos ? std::string() : text.substr(at);
}

void WriteReport(const Options& o, const Table& t, const std::string& started,
                 const std::string& dispatcherCpu, const std::string& statisticsCost) {
  const std::string notes = KeptNotes(o.out);
  std::ofstream out(o.out);
  utsname u{};
  ::uname(&u);
  out << "# Performance\n\n"
      << "Written by `" << o.command << "` (bench/suite.cpp) on " << started
      << ", in a Release build. Every figure is the median of "
      << o.rounds << " rounds with its min and max; the variants of one comparison run one after "
      << "another within a round, in alternating order, each in a process of its own, and every "
      << "ratio is taken within one round. All traffic is on 127.0.0.1; every UDT socket has MSS "
      << "1052 and nothing else set.\n\n"
      << "## Machine\n\n"
      << "| | |\n|---|---|\n"
      << "| Cores | " << std::thread::hardware_concurrency() << " |\n"
      << "| CPU | " << CpuModel() << " |\n"
      << "| Kernel | " << u.sysname << " " << u.release << " " << u.machine << " |\n"
      << "| UDT4 | libudt0 " << ShellLine("dpkg-query -W -f='${Version}' libudt0 2>/dev/null") << " |\n"
      << "| Compiler | " << ShellLine("c++ --version 2>/dev/null | head -1") << ", Release build |\n\n"
      << "## Figures\n\n"
      << "| Measure | Median | Min | Max | Unit | Target |\n|---|---|---|---|---|---|\n";
  for (const Row& r : t.rows) {
    out << "| " << r.name << " | " << Fixed(r.s.median, Table::Decimals(r.s.median)) << " | "
        << Fixed(r.s.min, Table::Decimals(r.s.min)) << " | " << Fixed(r.s.max, Table::Decimals(r.s.max))
        << " | " << r.unit << " | "
        << (r.target.empty() ? std::string() : r.target + (r.met ? ", met" : ", **missed**")) << " |\n";
  }
  out << "\n## What is measured\n\n"
      << "- **File transfer**: " << o.fileBytes << " bytes. The bench: the client window's SendFile "
      << "(file dialog answered with the path) sends the request, waits for the reply, sends the size "
      << "and the name, then 2048-byte pieces, each followed by one pass of the event loop and one "
      << "debug line on standard error (sent to a file); the server window's pooled worker stores "
      << "the file, both windows in one process. The "
      << "clock stops when a Send click that follows has its reply, so everything is stored. "
      << "The plain program does the same exchange with UDT4 calls alone, 2048-byte pieces sent "
      << "whole and received into a 2048-byte buffer written to a file. CPU is user plus system "
      << "time of the whole process (both ends). TCP: the same program over a loopback TCP "
      << "connection.\n"
      << "- **Server side, client side**: the same transfer with each side in a process of its own. "
      << "Server side: the bench's server window against a plain UDT4 server, each fed by the plain "
      << "client; CPU is the server process's (from /proc). Client side: the bench's client window "
      << "against the plain client, each sending into the plain server; CPU is the client "
      << "process's. Each variant gets a server process of its own.\n"
      << "- **Text exchange**: " << o.textTrips << " round trips. The bench: one Send click "
      << "(SendString and ReceiveString on the client, WaitForData, ReceiveString, SendString and "
      << "the posted log line on the server), timed until the server's log line has reached its "
      << "window; the reply row stops when the click has its reply. Plain: select, zero-length probe and two exact receives on the server, two sends "
      << "and two exact receives on the client. UDT4's select polls every 10 ms, which both pay. "
      << "The plain variant with select also waits for the reply in select first (at most 100 ms), "
      << "as the client window did before it waited inside the receive.\n"
      << "- **Ten clients**: " << o.clients << " connections at once, " << o.multiBytes
      << " bytes each, into one server: TUDTClient components on threads into the server window's "
      << "pool, against plain UDT4 threads on both ends.\n"
      << "- **Memory**: resident size (VmRSS) of a process running the server window, after the "
      << "first 10 and after " << o.conversations << " conversations made one after another (each "
      << "one text exchange), then while it holds ten idle conversations.\n"
      << "- **Start-up**: from starting `udtbench` (offscreen) to its UDP socket on port 2048 "
      << "appearing in /proc/net/udp; one warm-up run is not counted.\n"
      << "\n## Dispatcher CPU\n\n"
      << "`udtbench_connection_cpu --seconds 10 --samples 100`: CPU of a listening server "
      << "(getrusage of the server's process; the clients run in a child process).\n\n"
      << "```\n" << dispatcherCpu << "```\n"
      << "\n## What the link statistics cost\n\n"
      << "`udtbench_measure_cost --rounds " << o.rounds << "`: the client window's SendFile into "
      << "the server window with the statistics panel shown, sampling and both sides hashing, "
      << "against the same without them, each as a ratio to plain UDT4 in the same round; the "
      << "two variants alternate. Target: the ratios within 5 % of each other.\n\n"
      << "```\n" << statisticsCost << "```\n"
      << notes;
  std::printf("Wrote %s\n", o.out.c_str());
}

int RunSuite(const Options& o) {
  TUDTSocketServices services;
  char started[64];
  std::time_t now = std::time(nullptr);
  std::strftime(started, sizeof started, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
  const std::string tmp = MakeTempFolder("udtbench-bench-");
  if (tmp.empty()) {
    std::fprintf(stderr, "cannot create a temporary folder\n");
    return 1;
  }
  Table t;
  auto part = [&](const char* name) { return o.only.empty() || o.only == name; };
  if (part("file")) FileTransfer(o, tmp, t);
  if (part("file-server")) FileSide(o, tmp, t, true);
  if (part("file-client")) FileSide(o, tmp, t, false);
  if (part("text")) TextExchange(o, t);
  if (part("clients")) ManyClients(o, tmp, t);
  if (part("memory")) Memory(o, t);
  if (part("startup")) StartUp(o, t);
  RemoveTree(tmp);
  if (!o.out.empty() && !o.smoke && o.only.empty()) {
    const std::string cpu =
        ChildReport("Dispatcher CPU (udtbench_connection_cpu --seconds 10 --samples 100)",
                    UDTBENCH_CONNECTION_CPU, {"--seconds", "10", "--samples", "100"},
                    std::chrono::minutes(3));
    const std::string rounds = std::to_string(o.rounds);
    const std::string cost =
        ChildReport("Link statistics cost (udtbench_measure_cost)", UDTBENCH_MEASURE_COST,
                    {"--rounds", rounds}, std::chrono::minutes(10));
    WriteReport(o, t, started, cpu, cost);
  }
  if (t.failed) {
    std::fprintf(stderr, "Some runs did not complete.\n");
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--child") == 0) return RunChild(argc, argv);
  Options o;
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--out") == 0) ++i;
    else o.command += std::string(" ") + argv[i];
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--smoke") {
      o.smoke = true;
      o.rounds = 1;
      o.fileBytes = 1'000'000;
      o.textTrips = 20;
      o.multiBytes = 200'000;
      o.conversations = 20;
      o.startupRuns = 1;
    } else if (a == "--rounds" && i + 1 < argc) {
      o.rounds = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--only" && i + 1 < argc) {
      o.only = argv[++i];
    } else if (a == "--conversations" && i + 1 < argc) {
      o.conversations = std::max(10, std::atoi(argv[++i]));
    } else if (a == "--out" && i + 1 < argc) {
      o.out = argv[++i];
    } else {
      std::fprintf(stderr, "usage: %s [--rounds R] [--out FILE] [--smoke] [--only PART] [--conversations N]\n", argv[0]);
      return 2;
    }
  }
  return RunSuite(o);
}
