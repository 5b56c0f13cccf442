// What the link statistics cost a transfer: the client window's SendFile into
// the server window, with the statistics panel shown and sampling and both
// sides hashing, against the same without them, each as a ratio to plain UDT4
// moving the same file in the same round. Prints key=value lines.
//   udtbench_measure_cost [--rounds 5] [--mb 100]
#include <QApplication>
#include <QLineEdit>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "app_support.h"
#include "bench_support.h"
#include "client_window.h"
#include "plain_paths.h"
#include "server_window.h"
#include "statistics_panel.h"
#include "sysutils.h"
#include "transfer_table.h"
#include "transfer_meter.h"
#include "udt_h.h"

using namespace bench;

namespace {

// The client window with its file dialog answered.
class TCostClientWindow : public TClientWindow {
 public:
  std::u16string File;
  bool ExecuteOpenDialog(std::u16string& path) override {
    path = File;
    return true;
  }
  void ShowError(const std::u16string&) override { ++Errors; }
  int Errors = 0;
};

// Seconds for one file through the two windows, or -1 when it did not arrive whole.
double ProductSeconds(const std::string& source, const std::string& folder, int64_t size,
                      bool measured) {
  TTransferMeter::SetHashing(measured);
  const uint16_t port = FreeUdpPort();
  TServerWindow server(nullptr, std::to_string(port));
  server.SetErrorDisplay([](const std::u16string&) {});
  server.Form().SetReceiveFolder(folder);
  TCostClientWindow client;
  client.File = Utf8ToUtf16(source);
  client.StatisticsPanel()->setVisible(measured);
  client.StatisticsPanel()->SetSampling(measured);
  client.show();
  client.findChild<QLineEdit*>("Edit3")->setText("127.0.0.1");
  client.findChild<QLineEdit*>("Edit2")->setText(QString::number(port));
  client.Form().Button1Click(nullptr);
  if (!client.Form().udtClient1->Connected()) return -1;
  const auto t0 = Clock::now();
  client.Form().btnSendFileClick(nullptr);
  // The reply to a message proves the server has stored every byte before it.
  client.Form().Button2Click(nullptr);
  const double seconds = SecondsSince(t0);
  const std::string name = source.substr(source.find_last_of('/') + 1);
  std::error_code ec;
  const bool whole = std::filesystem::file_size(folder + "/" + name, ec) == static_cast<uintmax_t>(size);
  return whole && client.Errors == 0 ? seconds : -1;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

const char* Arg(int argc, char** argv, const char* name, const char* fallback) {
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
  return fallback;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  const int rounds = std::max(1, std::atoi(Arg(argc, argv, "--rounds", "5")));
  const int64_t size = std::atoll(Arg(argc, argv, "--mb", "100")) * 1000 * 1000;
  TUDTSocketServices services;
  QApplication app(argc, argv);
  InstallMainThreadSynchronize();
  SetDebugOutputSink([](const std::u16string&) {});
  const std::string work = MakeTempFolder("udtbench-measure-cost");
  const std::string source = work + "/measured.bin";
  if (!WritePatternFile(source, size)) return std::fprintf(stderr, "cannot write %s\n", source.c_str()), 1;

  std::vector<double> with, without;
  bool ok = true;
  for (int round = 0; round < rounds && ok; ++round) {
    // The two variants alternate which goes first, so drift favours neither.
    for (int k = 0; k < 2 && ok; ++k) {
      const bool measured = (round + k) % 2 == 0;
      const std::string folder = MakeTempFolder("udtbench-measure-cost-run");
      const Report plain = PlainFileRun(source, folder, size);
      RemoveTree(folder);
      const std::string folder2 = MakeTempFolder("udtbench-measure-cost-run");
      const double product = ProductSeconds(source, folder2, size, measured);
      RemoveTree(folder2);
      const double plainSeconds = Number(plain, "seconds");
      ok = product > 0 && plainSeconds > 0;
      // The ratio: the bench's throughput as a share of plain UDT4's.
      const double ratio = ok ? plainSeconds / product : 0;
      (measured ? with : without).push_back(ratio);
      std::printf("round=%d variant=%s plain_s=%.3f product_s=%.3f ratio=%.3f\n", round + 1,
                  measured ? "statistics" : "bare", plainSeconds, product, ratio);
      std::fflush(stdout);
    }
  }
  RemoveTree(work);
  const double a = Median(with), b = Median(without);
  std::printf("ok=%d\nmb=%lld\nrounds=%d\nratio_with_statistics=%.3f\nratio_without=%.3f\n"
              "difference_percent=%.1f\n",
              ok ? 1 : 0, static_cast<long long>(size / 1000000), rounds, a, b,
              b > 0 ? (a - b) / b * 100 : 0);
  return ok ? 0 : 1;
}
