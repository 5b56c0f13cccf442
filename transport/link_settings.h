// TLinkSettings: the optional UDT4 settings of one connection (segment size,
// buffers, flow window, rate limit, congestion control) and the block size of
// file data; how they are applied to a new socket, read back from a connected
// one, and written and read as text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What a front-end asked for. Every field is optional; an empty field keeps
// what the bench does without settings.
struct TLinkSettings {
  std::optional<int32_t> Mss;             // UDT_MSS, bytes per packet on the wire
  std::optional<int32_t> SndBuf;          // UDT_SNDBUF, bytes
  std::optional<int32_t> RcvBuf;          // UDT_RCVBUF, bytes
  std::optional<int32_t> UdpSndBuf;       // UDP_SNDBUF, bytes
  std::optional<int32_t> UdpRcvBuf;       // UDP_RCVBUF, bytes
  std::optional<int32_t> FlowWindow;      // UDT_FC, packets
  std::optional<double> MaxRateMbps;      // UDT_MAXBW, Mbit/s
  std::optional<int32_t> Block;           // bytes of file data per send or receive call
  std::optional<double> FixedRateMbps;    // the fixed-rate congestion control; empty: UDT4's own

  // True when nothing was asked for.
  bool Empty() const noexcept;
  bool operator==(const TLinkSettings&) const = default;
};

// The largest block of file data a page sends or receives in one call.
inline constexpr int32_t kMaxBlock = 1 << 20;

// A setting that UDT4 refused: the option's name (as in the command line,
// without dashes), the value as given, and UDT4's error.
struct TSettingRefusal {
  std::string Option;
  std::string Value;
  int32_t Code = 0;
  std::string Desc;
  // "--mss 50: UDT4 refused it (5003: ...)".
  std::string Text() const;
};

// Applies every given setting except Block to the unbound socket Handle, in
// the order UDT4 needs; the first refusal stops it and is returned (the socket
// is left as it is). Call it between udt_socket and bind, connect or listen:
// UDT4 takes the segment size and the buffers only before the socket is bound
// (5001 after), the flow window and the congestion control only before it
// connects. Any thread; takes no error path of its own.
std::optional<TSettingRefusal> ApplyLinkSettings(int32_t Handle, const TLinkSettings& Settings) noexcept;

// Tries Settings on a socket of its own that is closed again at once; the
// refusal UDT4 gives, if any. UDT4 must be started.
std::optional<TSettingRefusal> CheckLinkSettings(const TLinkSettings& Settings) noexcept;

// The settings a connection really has, read back from UDT4 after the
// connect or accept. Mss is what the two ends settled on (the smaller).
struct TLinkSettingsInForce {
  int32_t Mss = 0;
  int32_t SndBuf = 0;
  int32_t RcvBuf = 0;
  int32_t UdpSndBuf = 0;
  int32_t UdpRcvBuf = 0;
  int32_t FlowWindow = 0;
  int64_t MaxBandwidth = -1;  // bytes/s; -1: unlimited
  double FixedRateMbps = 0;   // 0: UDT4's own congestion control
  int32_t Block = 0;          // set by the page that moves the file data
  bool Asked = false;         // some setting was given for the connection (set by the page)
};

// Reads the settings of the connected socket Handle; empty when UDT4 cannot
// tell (closed, not connected). Block is left 0. Any thread.
std::optional<TLinkSettingsInForce> ReadLinkSettings(int32_t Handle) noexcept;

// "MSS 1500, UDT buffers 12058624/12058624 B, UDP buffers 65536/12288000 B,
// flow window 25600, max rate unlimited, block 2048 B, cc native".
std::string LinkSettingsText(const TLinkSettingsInForce& Settings);

// One setting as front-ends name and read it.
struct TLinkSettingOption {
  const char* Name;     // the command-line name: "mss", "sndbuf", ...
  const char* Value;    // what the value looks like, for help: "BYTES", "MBIT"...
  const char* Meaning;  // one sentence, for help and tooltips
  const char* Default;  // what is in force without it
};
// Every setting, in the order front-ends list them.
const std::vector<TLinkSettingOption>& LinkSettingOptions();

// Reads Text as the setting named Name into Settings; false with Error (which
// names neither the option nor the value) when the text is not a valid value.
// Sizes take K, M (10^3, 10^6), KiB, MiB (2^10, 2^20); rates are Mbit/s;
// "cc" takes native or fixed:MBIT.
bool ParseLinkSetting(const std::string& Name, const std::string& Text, TLinkSettings& Settings,
                      std::string& Error);
// The text ParseLinkSetting reads back into the same value; empty when the
// setting is not given.
std::string LinkSettingText(const std::string& Name, const TLinkSettings& Settings);
// Reads "name=value name=value ..." (blanks between); false with Error naming
// the option that is wrong. An empty text is no settings.
bool ParseLinkSettingsLine(const std::string& Line, TLinkSettings& Settings, std::string& Error);
// The line ParseLinkSettingsLine reads back; empty for no settings.
std::string LinkSettingsLine(const TLinkSettings& Settings);
