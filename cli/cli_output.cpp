#include "cli_output.h"

#include <unistd.h>

#include <QJsonDocument>
#include <cmath>
#include <cstdio>

#include "bench_options.h"

TCliOutput::TCliOutput(bool Json) : FJson(Json) {}

void TCliOutput::Write(std::FILE* Stream, const std::string& Text) {
  std::lock_guard<std::mutex> g(FLock);
  if (FBarShown) {
    // A line on either stream starts below a bar drawn on the terminal.
    std::fputs("\r\033[K", stderr);
    FBarShown = false;
  }
  std::fwrite(Text.data(), 1, Text.size(), Stream);
  std::fputc('\n', Stream);
  std::fflush(Stream);
}

void TCliOutput::Line(const std::string& Text) {
  if (!FJson) Write(stdout, Text);
}

void TCliOutput::Event(const QJsonObject& Object) {
  if (FJson) Write(stdout, QJsonDocument(Object).toJson(QJsonDocument::Compact).toStdString());
}

void TCliOutput::Error(const std::string& Text) {
  Write(stderr, "udtbench-cli: " + Text);
  Event({{"event", "error"}, {"message", QString::fromStdString(Text)}});
}

std::string MinutesSeconds(double Seconds) {
  const long s = std::lround(std::max(0.0, Seconds));
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

TProgressBar::TProgressBar(TCliOutput& Output, std::string Name, int64_t Size)
    : FOutput(Output),
      FName(std::move(Name)),
      FSize(Size),
      FEnabled(::isatty(STDERR_FILENO) != 0),
      FStart(std::chrono::steady_clock::now()) {}

TProgressBar::~TProgressBar() {
  if (!FEnabled) return;
  std::lock_guard<std::mutex> g(FOutput.FLock);
  if (FOutput.FBarShown) std::fputs("\r\033[K", stderr);
  FOutput.FBarShown = false;
  std::fflush(stderr);
}

void TProgressBar::Show(int Percent) {
  if (!FEnabled) return;
  constexpr int kWidth = 30;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - FStart).count();
  const double done = static_cast<double>(FSize) * Percent / 100.0;
  const double rate = seconds > 0 ? done / seconds : 0;
  const int filled = Percent * kWidth / 100;
  char line[256];
  std::snprintf(line, sizeof line, "\r\033[K%.24s [%.*s%*s] %3d%% %8.2f MB/s  %s left",
                FName.c_str(), filled, "##############################", kWidth - filled, "",
                Percent, rate / 1e6,
                rate > 0 ? MinutesSeconds((FSize - done) / rate).c_str() : "-:--");
  std::lock_guard<std::mutex> g(FOutput.FLock);
  std::fputs(line, stderr);
  std::fflush(stderr);
  FOutput.FBarShown = true;
}
