// TTerminalScreen: the full-screen terminal that holds the server page and the
// client page, shows one of them at a time and turns keys into their handlers.
#pragma once

#include <QSocketNotifier>
#include <QTimer>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "page_host.h"
#include "terminal_page.h"

class TClientPage;
class TServerPage;
class TTextField;

// The terminal side of the bench: draws the pages with curses, reads the keys
// from standard input through the Qt event loop, and keeps the error line.
// Creating it takes over the terminal; destroying it gives the terminal back
// as it was. Main thread only.
class TTerminalScreen : public TPageHost {
 public:
  enum class TPage { Server, Client };

  // Takes over the terminal on standard input and output; throws when it cannot.
  TTerminalScreen();
  // Restores the terminal.
  ~TTerminalScreen() override;
  TTerminalScreen(const TTerminalScreen&) = delete;
  TTerminalScreen& operator=(const TTerminalScreen&) = delete;

  // The pages, docked in this order: server first and in front, then client.
  void Dock(TServerPage* Server, TClientPage* Client);
  // The operator asked to end the program (F10).
  std::function<void()> OnQuit;

  TPage CurrentPage() const noexcept { return FPage; }
  // Follows a new terminal size, then redraws.
  void Resize();
  // Draws the whole screen now.
  void Redraw();
  // Gives the terminal back now (before the pages go away); idempotent.
  void Release();

  // TPageHost
  void Invalidate() override;
  void ShowError(const std::u16string& Text) override;

 private:
  // A key as curses reports it.
  struct TKeyCode {
    bool FunctionKey;
    unsigned Key;
  };
  // One key of the pages: what presses it, on which pages, what the help line
  // calls it, and what it does. A key without a name is left out of the help.
  struct TKeyBinding {
    unsigned Pages;  // bits: 1 the server page, 2 the client page
    std::u16string Name;
    std::u16string What;
    std::vector<TKeyCode> Codes;
    std::function<void(TTerminalScreen&)> Action;
    bool OverAnError = false;  // taken even while the error line shows
  };
  // The keys of both pages, in the order of the help line.
  static const std::vector<TKeyBinding>& KeyTable();
  // The binding of a key on the page in front; nullptr when it has none.
  const TKeyBinding* Binding(bool FunctionKey, unsigned Key) const;

  void ReadInput();
  void HandleKey(bool FunctionKey, unsigned Key);
  bool EditKey(TTextField& Field, bool FunctionKey, unsigned Key);
  // The page in front.
  TTerminalPage& Front();
  TTextField* FocusedField();
  void MoveFocus(int Step);
  void Scroll(int Rows);

  void DrawTabs(int Width);
  void DrawErrorLine(int Row, int Width);
  void DrawHelp(int Row, int Rows, int Width);

  TServerPage* FServer = nullptr;
  TClientPage* FClient = nullptr;
  TPage FPage = TPage::Server;
  std::deque<std::u16string> FErrors;
  int FCursorRow = -1;
  int FCursorCol = -1;
  bool FReleased = false;
  QTimer FRedrawTimer;
  QSocketNotifier FInput;
};
