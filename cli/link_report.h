// What udtbench-cli says about the link: the settings in force as JSON and
// text, and the link statistics every interval (--interval).
#pragma once

#include <QJsonObject>
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "link_settings.h"

class TCliOutput;

// The settings in force as JSON fields; null when not known.
QJsonValue SettingsJson(const std::optional<TLinkSettingsInForce>& Settings);

// Every Seconds, one line (or a "stats" event) per connection that Source
// names: rate, RTT, loss, retransmits and the windows over the interval.
// Main thread; the timer runs in the event passes the pages make too.
class TIntervalReport {
 public:
  // Labels and UDT handles of the connections to report on now.
  using TSource = std::function<std::vector<std::pair<std::string, int32_t>>()>;
  TIntervalReport(TCliOutput& Output, double Seconds, TSource Source);
  TIntervalReport(const TIntervalReport&) = delete;
  TIntervalReport& operator=(const TIntervalReport&) = delete;

 private:
  void Tick();

  TCliOutput& FOutput;
  const double FSeconds;
  TSource FSource;
  QTimer FTimer;
  // Handles already sampled once: their first reading only opens the interval.
  std::vector<int32_t> FSeen;
  int64_t FTicks = 0;
};

// Reads --interval SECONDS (0.1 to 3600); empty Seconds when not given. On a
// bad value prints a line and returns ecUsage.
std::optional<int> ReadInterval(const QString& Text, bool Given, std::optional<double>& Seconds);
