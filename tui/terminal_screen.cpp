#include "terminal_screen.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cwchar>
#include <stdexcept>
#include <vector>

#include "client_page.h"
#include "server_page.h"
#include "sysutils.h"
#include "text_field.h"

#include "terminal_drawing.h"

using namespace terminal;

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

TTerminalPage& TTerminalScreen::Front() {
  if (FPage == TPage::Server) return *FServer;
  return *FClient;
}

TTextField* TTerminalScreen::FocusedField() {
  const std::vector<TTextField*> fields = Front().FocusFields();
  return fields.empty() ? nullptr : fields[static_cast<size_t>(Front().Focus) % fields.size()];
}

void TTerminalScreen::MoveFocus(int Step) {
  int& focus = Front().Focus;
  const int count = static_cast<int>(Front().FocusFields().size());
  if (count > 0) focus = ((focus + Step) % count + count) % count;
}

void TTerminalScreen::Scroll(int Rows) {
  int& scroll = Front().Scroll;
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
         s.FServer->Scroll = 0;
         s.FServer->ClearLogClick();
       }},
      {kBothPages, u"Tab", u"next edit", {{false, '\t'}, {true, KEY_DOWN}},
       [](S& s) { s.MoveFocus(1); }},
      {kBothPages, u"", u"previous edit", {{true, KEY_BTAB}, {true, KEY_UP}},
       [](S& s) { s.MoveFocus(-1); }},
      {kServerPage, kEnterName, u"打开", {std::begin(enter), std::end(enter)},
       [](S& s) { s.FServer->ClickOpen(); }},
      {kClientPage, kEnterName, u"Open/Send/SendFile", {std::begin(enter), std::end(enter)},
       [](S& s) { s.FClient->ClickFocused(); }},
      {kBothPages, u"PgUp/PgDn", u"scroll log", {{true, KEY_PPAGE}},
       [](S& s) { s.Scroll(std::max(1, s.Front().LogRows - 1)); }},
      {kBothPages, u"", u"scroll log forward", {{true, KEY_NPAGE}},
       [](S& s) { s.Scroll(-std::max(1, s.Front().LogRows - 1)); }},
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
    Wrap(Wide(u"The terminal is too small for udtbench: it needs " + Decimal(kMinWidth) +
              u" columns and " + Decimal(kMinHeight) + u" rows. F10 quits."),
         std::max(width, 1), rows);
    for (int i = 0; i < static_cast<int>(rows.size()) && i < height; ++i)
      Put(i, 0, width, rows[static_cast<size_t>(i)]);
  } else if (FServer && FClient) {
    DrawTabs(width);
    const TTerminalPage::TCursor cursor = Front().Draw(height, width);
    FCursorRow = cursor.Row;
    FCursorCol = cursor.Column;
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

void TTerminalScreen::DrawErrorLine(int Row, int Width) {
  if (FErrors.empty()) return;
  const attr_t attr = A_BOLD | (has_colors() ? COLOR_PAIR(kErrorPair) : A_REVERSE);
  attr_set(attr, 0, nullptr);
  mvhline(Row, 0, ' ', Width);
  std::u16string more;
  if (FErrors.size() > 1) more = u" (+" + Decimal(static_cast<long>(FErrors.size() - 1)) + u" more)";
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
