#include "link_settings.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "udt_h.h"

namespace {

constexpr int32_t kUdtMss = 0;  // UDT_MSS

TSettingRefusal Refusal(const char* Option, const std::string& Value) {
  const char* desc = nullptr;
  const int32_t code = udt_getlasterror2(&desc);
  return {Option, Value, code, desc ? desc : ""};
}

std::string Number(double v) {
  char text[64];
  auto r = std::to_chars(text, text + sizeof text, v);
  return std::string(text, r.ptr);
}

bool ParseDouble(const std::string& Text, double& Value, std::string& Rest) {
  const char* begin = Text.data();
  const char* end = begin + Text.size();
  auto r = std::from_chars(begin, end, Value);
  if (r.ec != std::errc() || !std::isfinite(Value)) return false;
  Rest.assign(r.ptr, end);
  return true;
}

bool SameText(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i]; ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return i == a.size() && !b[i];
}

// A size in bytes: a number with K, M, KiB, MiB (or KB, MB), at least 1.
bool ParseSize(const std::string& Text, int64_t Max, int32_t& Value, std::string& Error) {
  double number = 0;
  std::string unit;
  if (!ParseDouble(Text, number, unit)) {
    Error = "not a size (give BYTES, with K, M, KiB or MiB if you like)";
    return false;
  }
  double scale = 1;
  if (unit.empty() || SameText(unit, "B"))
    scale = 1;
  else if (SameText(unit, "K") || SameText(unit, "KB"))
    scale = 1e3;
  else if (SameText(unit, "M") || SameText(unit, "MB"))
    scale = 1e6;
  else if (SameText(unit, "KiB"))
    scale = 1024;
  else if (SameText(unit, "MiB"))
    scale = 1024.0 * 1024;
  else {
    Error = "\"" + unit + "\" is not a size unit (K, M, KiB, MiB)";
    return false;
  }
  const double bytes = std::round(number * scale);
  if (bytes < 1 || bytes > static_cast<double>(Max)) {
    Error = "must be from 1 to " + std::to_string(Max) + " bytes";
    return false;
  }
  Value = static_cast<int32_t>(bytes);
  return true;
}

// A rate in Mbit/s: a number, optionally followed by M, Mbit or Mbit/s; above 0.
bool ParseRate(const std::string& Text, double& Value, std::string& Error) {
  std::string unit;
  if (!ParseDouble(Text, Value, unit) ||
      !(unit.empty() || SameText(unit, "M") || SameText(unit, "Mbit") || SameText(unit, "Mbit/s"))) {
    Error = "not a rate in Mbit/s";
    return false;
  }
  if (Value <= 0 || Value > 1e6) {
    Error = "must be above 0 and at most 1000000 Mbit/s";
    return false;
  }
  return true;
}

using TSizeField = std::optional<int32_t> TLinkSettings::*;

struct TSizeSetting {
  const char* Name;
  TSizeField Field;
  int64_t Max;
};

const TSizeSetting kSizes[] = {
    {"mss", &TLinkSettings::Mss, std::numeric_limits<int32_t>::max()},
    {"sndbuf", &TLinkSettings::SndBuf, std::numeric_limits<int32_t>::max()},
    {"rcvbuf", &TLinkSettings::RcvBuf, std::numeric_limits<int32_t>::max()},
    {"udp-sndbuf", &TLinkSettings::UdpSndBuf, std::numeric_limits<int32_t>::max()},
    {"udp-rcvbuf", &TLinkSettings::UdpRcvBuf, std::numeric_limits<int32_t>::max()},
    {"fc", &TLinkSettings::FlowWindow, std::numeric_limits<int32_t>::max()},
    {"block", &TLinkSettings::Block, kMaxBlock},
};

}  // namespace

bool TLinkSettings::Empty() const noexcept { return *this == TLinkSettings{}; }

std::string TSettingRefusal::Text() const {
  return "--" + Option + " " + Value + ": UDT4 refused it (" + std::to_string(Code) + ": " + Desc + ")";
}

std::optional<TSettingRefusal> ApplyLinkSettings(int32_t Handle, const TLinkSettings& s) noexcept {
  try {
    // The order matters to UDT4: the buffers are kept in packets of the
    // segment size in force when they are set, so the segment size goes
    // first; the receive buffer is cut to the flow window, so that goes
    // before it. All of it before bind (segment size, buffers) and connect
    // (flow window, congestion control).
    if (s.Mss && udt_setsockopt(Handle, 0, kUdtMss, &*s.Mss, sizeof *s.Mss) != 0)
      return Refusal("mss", std::to_string(*s.Mss));
    if (s.FlowWindow && udt_setfc(Handle, *s.FlowWindow) != 0)
      return Refusal("fc", std::to_string(*s.FlowWindow));
    if (s.SndBuf && udt_setsndbuf(Handle, *s.SndBuf) != 0)
      return Refusal("sndbuf", std::to_string(*s.SndBuf));
    if (s.RcvBuf && udt_setrcvbuf(Handle, *s.RcvBuf) != 0)
      return Refusal("rcvbuf", std::to_string(*s.RcvBuf));
    if (s.UdpSndBuf && udt_setudpsndbuf(Handle, *s.UdpSndBuf) != 0)
      return Refusal("udp-sndbuf", std::to_string(*s.UdpSndBuf));
    if (s.UdpRcvBuf && udt_setudprcvbuf(Handle, *s.UdpRcvBuf) != 0)
      return Refusal("udp-rcvbuf", std::to_string(*s.UdpRcvBuf));
    if (s.MaxRateMbps &&
        udt_setmaxbw(Handle, static_cast<int64_t>(std::llround(*s.MaxRateMbps * 1e6 / 8))) != 0)
      return Refusal("max-rate", Number(*s.MaxRateMbps));
    if (s.FixedRateMbps && udt_setfixedrate(Handle, *s.FixedRateMbps) != 0)
      return Refusal("cc", "fixed:" + Number(*s.FixedRateMbps));
    return std::nullopt;
  } catch (...) {
    return TSettingRefusal{"", "", -1, "out of memory"};
  }
}

std::optional<TSettingRefusal> CheckLinkSettings(const TLinkSettings& Settings) noexcept {
  if (Settings.Empty()) return std::nullopt;
  const int32_t h = udt_socket(AF_INET, SOCK_STREAM, 0);
  if (h == -1) return std::nullopt;
  std::optional<TSettingRefusal> refusal = ApplyLinkSettings(h, Settings);
  udt_close(h);
  return refusal;
}

std::optional<TLinkSettingsInForce> ReadLinkSettings(int32_t Handle) noexcept {
  TLinkSettingsInForce s;
  if (udt_getmss(Handle, &s.Mss) != 0 || udt_getsndbuf(Handle, &s.SndBuf) != 0 ||
      udt_getrcvbuf(Handle, &s.RcvBuf) != 0 || udt_getudpsndbuf(Handle, &s.UdpSndBuf) != 0 ||
      udt_getudprcvbuf(Handle, &s.UdpRcvBuf) != 0 || udt_getfc(Handle, &s.FlowWindow) != 0 ||
      udt_getmaxbw(Handle, &s.MaxBandwidth) != 0 || udt_getfixedrate(Handle, &s.FixedRateMbps) != 0)
    return std::nullopt;
  return s;
}

std::string LinkSettingsText(const TLinkSettingsInForce& s) {
  const std::string maxRate =
      s.MaxBandwidth < 0 ? std::string("unlimited") : Number(s.MaxBandwidth * 8 / 1e6) + " Mbit/s";
  const std::string cc = s.FixedRateMbps > 0 ? "fixed " + Number(s.FixedRateMbps) + " Mbit/s" : "native";
  return "MSS " + std::to_string(s.Mss) + ", UDT buffers " + std::to_string(s.SndBuf) + "/" +
         std::to_string(s.RcvBuf) + " B, UDP buffers " + std::to_string(s.UdpSndBuf) + "/" +
         std::to_string(s.UdpRcvBuf) + " B, flow window " + std::to_string(s.FlowWindow) +
         ", max rate " + maxRate + ", block " + std::to_string(s.Block) + " B, cc " + cc;
}

const std::vector<TLinkSettingOption>& LinkSettingOptions() {
  static const std::vector<TLinkSettingOption> options = {
      {"mss", "BYTES", "UDT's maximum packet size on the wire; the two ends use the smaller.", "1052"},
      {"sndbuf", "BYTES", "UDT's send buffer.", "8192 packets (12058624 B at MSS 1500)"},
      {"rcvbuf", "BYTES", "UDT's receive buffer; at most the flow window.", "8192 packets"},
      {"udp-sndbuf", "BYTES", "The UDP socket's send buffer.", "65536"},
      {"udp-rcvbuf", "BYTES", "The UDP socket's receive buffer (the kernel caps it at net.core.rmem_max).",
       "12288000"},
      {"fc", "PACKETS", "The flow window: packets that may be in flight unacknowledged.", "25600"},
      {"max-rate", "MBIT", "The highest rate the connection may send at, in Mbit/s.", "unlimited"},
      {"block", "BYTES", "File data per send (client) or receive (server) call, up to 1 MiB.", "2048"},
      {"cc", "native|fixed:MBIT",
       "Congestion control: UDT's own, or a fixed rate in Mbit/s whatever the loss; the receiving "
       "end reports a loss again when it runs it too, so give it at both ends.",
       "native"},
  };
  return options;
}

bool ParseLinkSetting(const std::string& Name, const std::string& Text, TLinkSettings& Settings,
                      std::string& Error) {
  for (const TSizeSetting& size : kSizes) {
    if (Name != size.Name) continue;
    int32_t value = 0;
    if (!ParseSize(Text, size.Max, value, Error)) return false;
    Settings.*size.Field = value;
    return true;
  }
  if (Name == "max-rate") {
    double rate = 0;
    if (!ParseRate(Text, rate, Error)) return false;
    Settings.MaxRateMbps = rate;
    return true;
  }
  if (Name == "cc") {
    if (Text == "native") {
      Settings.FixedRateMbps.reset();
      return true;
    }
    double rate = 0;
    if (Text.rfind("fixed:", 0) != 0 || !ParseRate(Text.substr(6), rate, Error)) {
      Error = "give native or fixed:MBIT" + (Error.empty() ? std::string() : " (" + Error + ")");
      return false;
    }
    Settings.FixedRateMbps = rate;
    return true;
  }
  Error = "no such setting";
  return false;
}

std::string LinkSettingText(const std::string& Name, const TLinkSettings& Settings) {
  for (const TSizeSetting& size : kSizes)
    if (Name == size.Name) {
      const auto& v = Settings.*size.Field;
      return v ? std::to_string(*v) : std::string();
    }
  if (Name == "max-rate") return Settings.MaxRateMbps ? Number(*Settings.MaxRateMbps) : "";
  if (Name == "cc") return Settings.FixedRateMbps ? "fixed:" + Number(*Settings.FixedRateMbps) : "";
  return {};
}

bool ParseLinkSettingsLine(const std::string& Line, TLinkSettings& Settings, std::string& Error) {
  TLinkSettings read;
  size_t i = 0;
  while (i < Line.size()) {
    if (Line[i] == ' ' || Line[i] == '\t') {
      ++i;
      continue;
    }
    size_t end = Line.find_first_of(" \t", i);
    if (end == std::string::npos) end = Line.size();
    const std::string item = Line.substr(i, end - i);
    i = end;
    const size_t eq = item.find('=');
    const std::string name = eq == std::string::npos ? item : item.substr(0, eq);
    std::string why;
    if (eq == std::string::npos || !ParseLinkSetting(name, item.substr(eq + 1), read, why)) {
      Error = name + ": " + (eq == std::string::npos ? "give NAME=VALUE" : why);
      return false;
    }
  }
  Settings = read;
  return true;
}

std::string LinkSettingsLine(const TLinkSettings& Settings) {
  std::string line;
  for (const TLinkSettingOption& o : LinkSettingOptions()) {
    const std::string value = LinkSettingText(o.Name, Settings);
    if (value.empty()) continue;
    if (!line.empty()) line += ' ';
    line += std::string(o.Name) + "=" + value;
  }
  return line;
}
