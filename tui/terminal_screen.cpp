#include "terminal_screen.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cwchar>
#include <stdexcept>
#include <vector>

#include "client_page.h"
#include "server_page.h"
#include "statistics_text.h"
#include "sysutils.h"
#include "text_field.h"

#include "curses_include.h"

namespace {

// Below this size the pages do not fit; the screen says so instead.
constexpr int kMinWidth = 60;
constexpr int kMinHeight = 16;
constexpr int kRedrawDelayMs = 20;
constexpr int kErrorPair = 1;
constexpr int kTabPair = 2;

constexpr unsigned kServerPage = 1;
constexpr unsigned kClientPage = 2;
constexpr unsigned kBothPages = kServerPage | kClientPage;

const char16_t kEnterName[] = u"Enter";

constexpr unsigned F(int n) { return static_cast<unsigned>(KEY_F(n)); }

// UTF-16 to the terminal's wide characters; a lone surrogate shows as U+FFFD.
std::wstring Wide(const std::u16string& s) {
  std::wstring out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    char32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    out.push_back(static_cast<wchar_t>(c));
  }
  return out;
}

// The columns a character takes; characters the terminal cannot show become '?'.
int Columns(wchar_t& c) {
  int w = ::wcwidth(c);
  if (w < 0) {
    c = L'?';
    w = 1;
  }
  return w;
}

int Columns(const std::wstring& s) {
  int n = 0;
  for (wchar_t c : s) n += Columns(c);
  return n;
}

// Writes text at row, col within width columns; returns the columns used.
int Put(int row, int col, int width, const std::wstring& text, attr_t attr = A_NORMAL) {
  if (width <= 0) return 0;
  std::wstring shown;
  int used = 0;
  for (wchar_t c : text) {
    const int w = Columns(c);
    if (used + w > width) break;
    shown.push_back(c);
    used += w;
  }
  attr_set(attr, 0, nullptr);
  mvaddnwstr(row, col, shown.c_str(), static_cast<int>(shown.size()));
  attr_set(A_NORMAL, 0, nullptr);
  return used;
}

int Put(int row, int col, int width, const std::u16string& text, attr_t attr = A_NORMAL) {
  return Put(row, col, width, Wide(text), attr);
}

// Breaks text into rows of at most width columns.
void Wrap(const std::wstring& text, int width, std::vector<std::wstring>& rows) {
  std::wstring row;
  int used = 0;
  for (wchar_t c : text) {
    const int w = Columns(c);
    if (used + w > width && !row.empty()) {
      rows.push_back(std::move(row));
      row.clear();
      used = 0;
    }
    row.push_back(c);
    used += w;
  }
  rows.push_back(std::move(row));
}

void Box(int top, int left, int height, int width, const std::u16string& title) {
  if (height < 2 || width < 2) return;
  mvhline(top, left + 1, ACS_HLINE, width - 2);
  mvhline(top + height - 1, left + 1, ACS_HLINE, width - 2);
  mvvline(top + 1, left, ACS_VLINE, height - 2);
  mvvline(top + 1, left + width - 1, ACS_VLINE, height - 2);
  mvaddch(top, left, ACS_ULCORNER);
  mvaddch(top, left + width - 1, ACS_URCORNER);
  mvaddch(top + height - 1, left, ACS_LLCORNER);
  mvaddch(top + height - 1, left + width - 1, ACS_LRCORNER);
  Put(top, left + 2, width - 4, u" " + title + u" ", A_BOLD);
}

// Lines in a box, the newest at the bottom, scroll rows back from the newest
// (clamped to what there is).
void DrawLines(int top, int left, int height, int width,
               const std::deque<std::u16string>& lines, int& scroll) {
  if (height <= 0 || width <= 0) return;
  std::deque<std::wstring> rows;
  std::vector<std::wstring> wrapped;
  const size_t wanted = static_cast<size_t>(height + std::max(scroll, 0));
  bool all = true;
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    if (rows.size() >= wanted) {
      all = false;
      break;
    }
    wrapped.clear();
    Wrap(Wide(*it), width, wrapped);
    for (auto r = wrapped.rbegin(); r != wrapped.rend(); ++r) rows.push_front(std::move(*r));
  }
  const int total = static_cast<int>(rows.size());
  if (all) scroll = std::clamp(scroll, 0, std::max(0, total - height));
  const int last = total - scroll;  // one past the last row shown
  const int first = std::max(0, last - height);
  for (int i = first, row = top + height - (last - first); i < last; ++i, ++row)
    Put(row, left, width, rows[static_cast<size_t>(i)]);
}

// The end of a stream of text in a box, broken into rows of the box's width.
void DrawStream(int top, int left, int height, int width, const std::u16string& text) {
  if (height <= 0 || width <= 0) return;
  const size_t span = static_cast<size_t>(height) * static_cast<size_t>(width);
  size_t start = text.size() > span ? text.size() - span : 0;
  // Rows begin at multiples of the width, so they stay put while text is added.
  start -= start % static_cast<size_t>(width);
  if (start < text.size() && text[start] >= 0xDC00 && text[start] <= 0xDFFF) ++start;
  std::vector<std::wstring> rows;
  Wrap(Wide(text.substr(start)), width, rows);
  const size_t first = rows.size() > static_cast<size_t>(height) ? rows.size() - height : 0;
  for (size_t i = first; i < rows.size(); ++i)
    Put(top + static_cast<int>(i - first), left, width, rows[i]);
}

// An edit of width columns, scrolled so its cursor shows; returns the cursor's column.
int DrawField(int row, int col, int width, const TTextField& field, bool focused) {
  const std::wstring text = Wide(field.Text());
  const size_t cursor = Wide(field.Text().substr(0, field.Cursor())).size();
  size_t start = 0;
  while (start < cursor && Columns(text.substr(start, cursor - start)) > width - 1) ++start;
  const attr_t attr = A_UNDERLINE | (focused ? A_BOLD : A_NORMAL);
  attr_set(attr, 0, nullptr);
  mvhline(row, col, ' ', width);
  Put(row, col, width, text.substr(start), attr);
  return col + Columns(text.substr(start, cursor - start));
}

// A button: its key and caption, dim while disabled; returns the columns used.
int DrawButton(int row, int col, int width, const std::u16string& key,
               const std::u16string& caption, bool enabled) {
  return Put(row, col, width, u"[" + key + u" " + caption + u"]", enabled ? A_BOLD : A_DIM);
}

std::u16string Digits(long v) {
  const std::string s = std::to_string(v);
  return std::u16string(s.begin(), s.end());
}

// A page's title: its caption up to the first line break.
std::u16string Title(const std::u16string& caption) {
  return caption.substr(0, caption.find_first_of(u"\r\n"));
}

}  // namespace

TTerminalScreen::TTerminalScreen() : FInput(STDIN_FILENO, QSocketNotifier::Read) {
  if (!newterm(nullptr, stdout, stdin)) throw std::runtime_error("the terminal cannot be driven");
  cbreak();
  noecho();
  nonl();
  intrflush(stdscr, FALSE);
  keypad(stdscr, TRUE);
  nodelay(stdscr, TRUE);
  set_escdelay(50);
  curs_set(0);
  if (has_colors()) {
    start_color();
    use_default_colors();
    init_pair(kErrorPair, COLOR_WHITE, COLOR_RED);
    init_pair(kTabPair, COLOR_BLACK, COLOR_CYAN);
  }
  FRedrawTimer.setSingleShot(true);
  FRedrawTimer.setInterval(kRedrawDelayMs);
  QObject::connect(&FRedrawTimer, &QTimer::timeout, [this] { Redraw(); });
  QObject::connect(&FInput, &QSocketNotifier::activated, [this] { ReadInput(); });
}

TTerminalScreen::~TTerminalScreen() { Release(); }

void TTerminalScreen::Release() {
  if (FReleased) return;
  FReleased = true;
  FInput.setEnabled(false);
  FRedrawTimer.stop();
  curs_set(1);
  endwin();
}

void TTerminalScreen::Dock(TServerPage* Server, TClientPage* Client) {
  FServer = Server;
  FClient = Client;
  FPage = TPage::Server;
  Redraw();
}

void TTerminalScreen::Invalidate() {
  if (!FReleased && !FRedrawTimer.isActive()) FRedrawTimer.start();
}

void TTerminalScreen::ShowError(const std::u16string& Text) {
  FErrors.push_back(Text);
  Invalidate();
}

void TTerminalScreen::Resize() {
  if (FReleased) return;
  winsize ws{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && ws.ws_col > 0)
    resizeterm(ws.ws_row, ws.ws_col);
  Redraw();
}

void TTerminalScreen::ReadInput() {
  if (FReleased) return;
  wint_t key;
  int r;
  while (!FReleased && (r = wget_wch(stdscr, &key)) != ERR) {
    HandleKey(r == KEY_CODE_YES, static_cast<unsigned>(key));
  }
}

TTextField* TTerminalScreen::FocusedField() {
  if (FPage == TPage::Server) {
    if (!FServer) return nullptr;
    return &FServer->Edit(FServerFocus == 0 ? edtIP : edtPort);
  }
  if (!FClient) return nullptr;
  return &FClient->Field(static_cast<TClientField>(FClientFocus));
}

void TTerminalScreen::MoveFocus(int Step) {
  int& focus = FPage == TPage::Server ? FServerFocus : FClientFocus;
  const int count = FPage == TPage::Server ? 2 : 5;
  focus = ((focus + Step) % count + count) % count;
}

void TTerminalScreen::Scroll(int Rows) {
  int& scroll = FPage == TPage::Server ? FServerScroll : FClientScroll;
  scroll = std::max(0, scroll + Rows);
}

bool TTerminalScreen::EditKey(TTextField& Field, bool FunctionKey, unsigned Key) {
  if (FunctionKey) {
    switch (Key) {
      case KEY_BACKSPACE:
        Field.DeleteBack();
        return true;
      case KEY_DC:
        Field.DeleteForward();
        return true;
      case KEY_LEFT:
        Field.Left();
        return true;
      case KEY_RIGHT:
        Field.Right();
        return true;
      case KEY_HOME:
        Field.Home();
        return true;
      case KEY_END:
        Field.End();
        return true;
    }
    return false;
  }
  switch (Key) {
    case 0x7F:
    case 0x08:
      Field.DeleteBack();
      return true;
    case 0x15:  // Ctrl-U empties the edit
      Field.SetText(u"");
      return true;
    case 0x01:  // Ctrl-A, Ctrl-E: start and end
      Field.Home();
      return true;
    case 0x05:
      Field.End();
      return true;
  }
  if (Key >= 0x20 && Key != 0x7F && !(Key >= 0x80 && Key < 0xA0)) {
    Field.Insert(static_cast<char32_t>(Key));
    return true;
  }
  return false;
}

const std::vector<TTerminalScreen::TKeyBinding>& TTerminalScreen::KeyTable() {
  using S = TTerminalScreen;
  const TKeyCode enter[] = {{false, '\n'}, {false, '\r'}, {true, KEY_ENTER}};
  static const std::vector<TKeyBinding> keys = {
      {kBothPages, u"F10/Ctrl-C", u"quit", {{true, F(10)}},
       [](S& s) { if (s.OnQuit) s.OnQuit(); }, true},
      {kServerPage, u"F2", u"client page", {{true, F(2)}}, [](S& s) { s.FPage = TPage::Client; }},
      {kClientPage, u"F2", u"server page", {{true, F(2)}}, [](S& s) { s.FPage = TPage::Server; }},
      {kServerPage, u"F5", u"打开 open", {{true, F(5)}}, [](S& s) { s.FServer->ClickOpen(); }},
      {kClientPage, u"F5", u"Open", {{true, F(5)}}, [](S& s) { s.FClient->ClickOpen(); }},
      {kServerPage, u"F6", u"关闭 close", {{true, F(6)}}, [](S& s) { s.FServer->ClickClose(); }},
      {kClientPage, u"F6", u"Close", {{true, F(6)}}, [](S& s) { s.FClient->ClickClose(); }},
      {kClientPage, u"F7", u"Send", {{true, F(7)}}, [](S& s) { s.FClient->ClickSend(); }},
      {kClientPage, u"F9", u"SendFile (File path)", {{true, F(9)}},
       [](S& s) { s.FClient->ClickSendFile(); }},
      {kClientPage, u"F4", u"Cancel", {{true, F(4)}}, [](S& s) { s.FClient->ClickCancel(); }},
      {kServerPage, u"F8", u"clear log", {{true, F(8)}},
       [](S& s) {
         s.FServerScroll = 0;
         s.FServer->ClearLogClick();
       }},
      {kBothPages, u"Tab", u"next edit", {{false, '\t'}, {true, KEY_DOWN}},
       [](S& s) { s.MoveFocus(1); }},
      {kBothPages, u"", u"previous edit", {{true, KEY_BTAB}, {true, KEY_UP}},
       [](S& s) { s.MoveFocus(-1); }},
      {kServerPage, kEnterName, u"打开", {std::begin(enter), std::end(enter)},
       [](S& s) { s.FServer->ClickOpen(); }},
      {kClientPage, kEnterName, u"Open/Send/SendFile", {std::begin(enter), std::end(enter)},
       [](S& s) {
         switch (static_cast<TClientField>(s.FClientFocus)) {
           case TClientField::Edit3:
           case TClientField::Edit2:
             return s.FClient->ClickOpen();
           case TClientField::edtContent:
             return s.FClient->ClickSend();
           case TClientField::FilePath:
             return s.FClient->ClickSendFile();
           case TClientField::LinkSettings:
             return s.FClient->ClickLinkSettings();
         }
       }},
      {kBothPages, u"PgUp/PgDn", u"scroll log", {{true, KEY_PPAGE}},
       [](S& s) { s.Scroll(std::max(1, s.FLogRows - 1)); }},
      {kBothPages, u"", u"scroll log forward", {{true, KEY_NPAGE}},
       [](S& s) { s.Scroll(-std::max(1, s.FLogRows - 1)); }},
  };
  return keys;
}

const TTerminalScreen::TKeyBinding* TTerminalScreen::Binding(bool FunctionKey, unsigned Key) const {
  const unsigned page = FPage == TPage::Server ? kServerPage : kClientPage;
  for (const TKeyBinding& b : KeyTable()) {
    if (!(b.Pages & page)) continue;
    for (const TKeyCode& c : b.Codes)
      if (c.FunctionKey == FunctionKey && c.Key == Key) return &b;
  }
  return nullptr;
}

void TTerminalScreen::HandleKey(bool FunctionKey, unsigned Key) {
  // The new size was taken when SIGWINCH arrived; curses only reports it.
  if (FunctionKey && Key == KEY_RESIZE) {
    Redraw();
    return;
  }
  const TKeyBinding* binding = Binding(FunctionKey, Key);
  if (binding && binding->OverAnError) return binding->Action(*this);
  Invalidate();
  // The error line stands for a message box: nothing else is taken until it is dismissed.
  if (!FErrors.empty()) {
    const bool enter = binding && binding->Name == kEnterName;
    if (enter || (!FunctionKey && Key == 0x1B)) FErrors.pop_front();
    return;
  }
  if (!FServer || !FClient) return;
  if (binding) return binding->Action(*this);
  if (TTextField* field = FocusedField()) EditKey(*field, FunctionKey, Key);
}

void TTerminalScreen::Redraw() {
  if (FReleased) return;
  FRedrawTimer.stop();
  ::erase();
  FCursorRow = FCursorCol = -1;
  const int height = LINES, width = COLS;
  if (width < kMinWidth || height < kMinHeight) {
    std::vector<std::wstring> rows;
    Wrap(Wide(u"The terminal is too small for udtbench: it needs " + Digits(kMinWidth) +
              u" columns and " + Digits(kMinHeight) + u" rows. F10 quits."),
         std::max(width, 1), rows);
    for (int i = 0; i < static_cast<int>(rows.size()) && i < height; ++i)
      Put(i, 0, width, rows[static_cast<size_t>(i)]);
  } else if (FServer && FClient) {
    DrawTabs(width);
    if (FPage == TPage::Server)
      DrawServer(height, width);
    else
      DrawClient(height, width);
    DrawErrorLine(height - 3, width);
    DrawHelp(height - 2, 2, width);
  }
  if (FCursorRow >= 0 && FErrors.empty()) {
    curs_set(1);
    ::move(FCursorRow, FCursorCol);
  } else {
    curs_set(0);
  }
  ::refresh();
}

void TTerminalScreen::DrawTabs(int Width) {
  int col = Put(0, 0, Width, u" 测试  ", A_BOLD);
  const bool server = FPage == TPage::Server;
  const attr_t active = A_REVERSE | A_BOLD | (has_colors() ? COLOR_PAIR(kTabPair) : 0);
  // The page in front is also bracketed, for terminals that show no reverse video.
  col += Put(0, col, Width - col, server ? u"[udt服务端]" : u" udt服务端 ", server ? active : A_NORMAL);
  col += Put(0, col, Width - col, u" ");
  const std::u16string client = Title(FClient->Caption());
  col += Put(0, col, Width - col, server ? u" " + client + u" " : u"[" + client + u"]",
             server ? A_NORMAL : active);
  Put(0, col, Width - col, u"   F2: other page");
}

void TTerminalScreen::DrawServer(int Height, int Width) {
  // The newest received files take up to five rows under the log on a tall enough screen.
  const auto& transfers = FServer->Transfers();
  const int tableRows =
      transfers.empty() || Height < 22 ? 0 : std::min<int>(static_cast<int>(transfers.size()), 4) + 1;
  const int boxTop = 1, boxHeight = Height - 5 - tableRows;
  Box(boxTop, 0, boxHeight, Width, u"Memo1 · server log · " + FServer->ServerState());
  FLogRows = boxHeight - 2;
  DrawLines(boxTop + 1, 1, boxHeight - 2, Width - 2, FServer->Log(), FServerScroll);
  if (tableRows > 0) {
    int row = boxTop + boxHeight;
    Put(row++, 1, Width - 2, u"Received: peer  name  bytes  s  MB/s  result  loss  RTT ms  SHA-256", A_BOLD);
    for (auto it = transfers.end() - (tableRows - 1); it != transfers.end(); ++it)
      Put(row++, 1, Width - 2,
          Utf8ToUtf16(it->Peer + "  " + it->Name + "  " + std::to_string(it->Bytes) + "  " +
                      FixedText(it->Seconds, 2) + "  " + FixedText(it->MBps, 2) + "  " +
                      OutcomeName(it->Outcome) + "  " + std::to_string(it->Lost) + "  " +
                      FixedText(it->AverageRttMs, 3) + "  " + it->Sha256));
  }

  const int row = Height - 4;
  int col = 1;
  col += Put(row, col, Width - col, u"IP ");
  const int ipCursor = DrawField(row, col, 16, FServer->Edit(edtIP), FServerFocus == 0);
  col += 18;
  col += Put(row, col, Width - col, u"Port ");
  const int portCursor = DrawField(row, col, 7, FServer->Edit(edtPort), FServerFocus == 1);
  col += 9;
  col += DrawButton(row, col, Width - col, u"F5", u"打开", FServer->ButtonEnabled(btnOpen)) + 1;
  DrawButton(row, col, Width - col, u"F6", u"关闭", FServer->ButtonEnabled(btnClose));
  FCursorRow = row;
  FCursorCol = FServerFocus == 0 ? ipCursor : portCursor;
}

void TTerminalScreen::DrawClient(int Height, int Width) {
  // The statistics block: the link, the packets, the last transfer.
  const int statRows = std::clamp(Height - 18, 1, 3);
  DrawStatistics(Height - 7 - statRows, statRows, Width);
  const int boxTop = 1, boxes = Height - 8 - statRows;
  const int logHeight = std::max(3, boxes / 2);
  const int trafficHeight = boxes - logHeight;
  Box(boxTop, 0, logHeight, Width, u"Memo1 · log");
  FLogRows = logHeight - 2;
  DrawLines(boxTop + 1, 1, logHeight - 2, Width - 2, FClient->Log(), FClientScroll);
  const int half = Width / 2;
  const int trafficTop = boxTop + logHeight;
  Box(trafficTop, 0, trafficHeight, half, u"Memo2 · received");
  DrawStream(trafficTop + 1, 1, trafficHeight - 2, half - 2, FClient->Received());
  Box(trafficTop, half, trafficHeight, Width - half, u"Memo3 · sent");
  DrawStream(trafficTop + 1, half + 1, trafficHeight - 2, Width - half - 2, FClient->Sent());

  const bool buttons = FClient->ConnectionButtonsEnabled();
  int cursor[5];
  int row = Height - 7;
  int col = 1;
  col += Put(row, col, Width - col, u"对方IP ");
  cursor[0] = DrawField(row, col, 16, FClient->Field(TClientField::Edit3), FClientFocus == 0);
  col += 18;
  col += Put(row, col, Width - col, u"对方端口 ");
  cursor[1] = DrawField(row, col, 7, FClient->Field(TClientField::Edit2), FClientFocus == 1);
  col += 9;
  col += DrawButton(row, col, Width - col, u"F5", u"Open", buttons) + 1;
  col += DrawButton(row, col, Width - col, u"F6", u"Close", buttons) + 2;
  Put(row, col, Width - col, FClient->Connected() ? u"connected" : u"closed");

  row = Height - 6;
  col = 1;
  col += Put(row, col, Width - col, u"Message ");
  const int sendWidth = 10;
  // The message and, after Send, the link settings line of the next Open.
  const int rest = std::max(16, Width - col - sendWidth - 3);
  const int contentWidth = std::max(8, rest / 2);
  cursor[2] =
      DrawField(row, col, contentWidth, FClient->Field(TClientField::edtContent), FClientFocus == 2);
  col += contentWidth + 2;
  col += DrawButton(row, col, Width - col, u"F7", u"Send", buttons) + 2;
  col += Put(row, col, Width - col, u"Link ");
  cursor[4] = DrawField(row, col, std::max(4, Width - col - 2),
                        FClient->Field(TClientField::LinkSettings), FClientFocus == 4);

  row = Height - 5;
  col = 1;
  col += Put(row, col, Width - col, u"File    ");
  const int fileWidth = std::max(8, Width - col - 14 - 3);
  cursor[3] =
      DrawField(row, col, fileWidth, FClient->Field(TClientField::FilePath), FClientFocus == 3);
  col += fileWidth + 2;
  DrawButton(row, col, Width - col, u"F9", u"SendFile", FClient->SendFileEnabled());

  // Gauge1, its percentage, and the caption the window shows in the page's title.
  row = Height - 4;
  col = 1;
  const int maxValue = std::max(FClient->GaugeMaxValue(), 1);
  const int progress = std::clamp(FClient->GaugeProgress(), 0, maxValue);
  const int barWidth = std::max(10, Width / 2 - 2);
  const int filled = static_cast<int>(static_cast<long>(barWidth) * progress / maxValue);
  col += Put(row, col, Width - col, u"[");
  col += Put(row, col, Width - col, std::u16string(static_cast<size_t>(filled), u'#'), A_BOLD);
  col += Put(row, col, Width - col, std::u16string(static_cast<size_t>(barWidth - filled), u'.'));
  col += Put(row, col, Width - col, u"] ");
  const std::u16string percent = Digits(progress * 100L / maxValue) + u"%";
  col += Put(row, col, Width - col, std::u16string(4 - std::min<size_t>(4, percent.size()), u' ') +
                                        percent + u"  ");
  Put(row, col, Width - col, Title(FClient->Caption()));

  FCursorRow = Height - 7 + (FClientFocus < 2 ? 0 : FClientFocus == 4 ? 1 : FClientFocus - 1);
  FCursorCol = cursor[FClientFocus];
}

void TTerminalScreen::DrawStatistics(int Row, int Rows, int Width) {
  const TLinkStatistics& stats = FClient->Statistics().Statistics();
  std::string link = "Link: not connected", packets;
  if (!stats.Samples().empty()) {
    const TLinkSample& s = stats.Samples().back();
    link = std::string(FClient->Statistics().Live() ? "Link" : "Last link") + ": send " +
           FixedText(s.SendMbps, 1) + " Mb/s  recv " + FixedText(s.ReceiveMbps, 1) +
           " Mb/s  RTT " + RangeText(s.RttMs, stats.Rtt(), 3) + " ms  bandwidth " +
           RangeText(s.BandwidthMbps, stats.Bandwidth(), 1) + " Mb/s";
    if (const auto& in = FClient->SettingsInForce())
      link += "  MSS " + std::to_string(in->Mss) + " block " + std::to_string(in->Block) + " cc " +
              (in->FixedRateMbps > 0 ? "fixed:" + FixedText(in->FixedRateMbps, 0) : std::string("native"));
    packets = "Packets sent " + std::to_string(s.PacketsSent) + "  received " +
              std::to_string(s.PacketsReceived) + "  retransmitted " +
              std::to_string(s.Retransmitted) + "  loss send " + std::to_string(s.SendLoss) +
              " / receive " + std::to_string(s.ReceiveLoss) + "  window flow " +
              std::to_string(s.FlowWindow) + " / congestion " + std::to_string(s.CongestionWindow) +
              "  in flight " + std::to_string(s.InFlight);
  }
  std::string last = "Last transfer: none";
  if (const auto& t = FClient->LastTransfer()) {
    last = SummaryText(*t);
    for (char& c : last)
      if (c == '\n') c = ' ';
  }
  const std::string lines[] = {link, packets, last};
  for (int i = 0; i < Rows; ++i) Put(Row + i, 1, Width - 2, Utf8ToUtf16(lines[i]));
}

void TTerminalScreen::DrawErrorLine(int Row, int Width) {
  if (FErrors.empty()) return;
  const attr_t attr = A_BOLD | (has_colors() ? COLOR_PAIR(kErrorPair) : A_REVERSE);
  attr_set(attr, 0, nullptr);
  mvhline(Row, 0, ' ', Width);
  std::u16string more;
  if (FErrors.size() > 1) more = u" (+" + Digits(static_cast<long>(FErrors.size() - 1)) + u" more)";
  const std::u16string hint = u"  [Enter: dismiss]";
  std::u16string text = FErrors.front();
  for (char16_t& c : text)
    if (c == u'\n' || c == u'\r' || c == u'\t') c = u' ';
  const std::wstring tail = Wide(more + hint);
  const int tailWidth = Columns(tail);
  Put(Row, 1, std::max(0, Width - 2 - tailWidth), u"Error: " + text, attr);
  Put(Row, std::max(0, Width - 1 - tailWidth), tailWidth, tail, attr);
}

void TTerminalScreen::DrawHelp(int Row, int Rows, int Width) {
  const unsigned page = FPage == TPage::Server ? kServerPage : kClientPage;
  int row = Row, col = 1;
  for (const TKeyBinding& b : KeyTable()) {
    if (!(b.Pages & page) || b.Name.empty()) continue;
    const int need = Columns(Wide(b.Name + u" " + b.What)) + 2;
    if (col + need > Width && col > 1) {
      if (++row >= Row + Rows) break;
      col = 1;
    }
    col += Put(row, col, Width - col, b.Name, A_BOLD | A_REVERSE);
    col += Put(row, col, Width - col, u" " + b.What + u"  ");
  }
}
