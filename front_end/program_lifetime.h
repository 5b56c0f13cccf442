// The program's lifetime, written once for every front-end: Qt's event loop
// around the front-end, signals turned into calls on the main thread, the end
// of the two pages, and the final bound on the server's threads.
#pragma once

#include <QElapsedTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

class QCoreApplication;
class QSocketNotifier;
class TForm1;
class TForm2;

// What the program's lifetime needs of a front-end. Main thread.
class TFrontEnd {
 public:
  TFrontEnd() = default;
  TFrontEnd(const TFrontEnd&) = delete;
  TFrontEnd& operator=(const TFrontEnd&) = delete;
  virtual ~TFrontEnd() = default;

  // SIGINT, SIGTERM or SIGHUP arrived: end the way the operator's quit does.
  virtual void Quit() = 0;
  // SIGWINCH arrived: the terminal has a new size.
  virtual void Resize() {}
  // The event loop has ended: ends the pages, waiting at most Bound for the
  // server's conversations to return. False when one is still running (a send
  // to a peer that died, which UDT4 gives up only after about 46 s); the
  // front-end is then not destroyed, since that conversation still uses it.
  virtual bool End(std::chrono::milliseconds) { return true; }
};

// The end of the two pages, the same under every front-end: the client page
// stops a transfer and closes its connection; what it handed over before may
// still be on its way into a conversation of our own server, and may land
// within a bound. Main thread.
class TPagesClosing {
 public:
  // How long after Begin the server's conversations may go on storing a file.
  static constexpr int kDrainUntilMs = 1000;

  // Stops the client page; the first call only.
  void Begin(TForm2& Client);
  // Runs events while a conversation of Server receives a file, until
  // kDrainUntilMs after Begin; only when the client was connected when Begin ran.
  void Drain(const TForm1& Server);
  // Runs events while a conversation of Server receives a file, until
  // kDrainUntilMs after Since started: the end of a server that stopped accepting.
  static void DrainConversations(const TForm1& Server, const QElapsedTimer& Since);

 private:
  QElapsedTimer FSinceBegin;
  bool FBegun = false;
  bool FClientWasConnected = false;
};

// Turns signals into calls on the main thread: the handler writes to a socket
// pair that Qt's event loop reads. One at a time per program. Main thread.
class TSignalPipe {
 public:
  // Calls OnSignal on the main thread once for each of Signals that arrived,
  // in the order of Signals.
  TSignalPipe(std::vector<int> Signals, std::function<void(int Signal)> OnSignal);
  // Gives the signals their default handling back.
  ~TSignalPipe();
  TSignalPipe(const TSignalPipe&) = delete;
  TSignalPipe& operator=(const TSignalPipe&) = delete;

  // Keeps the terminal's modes of now, for a forced end.
  static void SaveTerminalModes();
  // From now on a second SIGINT that arrives while the main thread has not yet
  // taken a quit (it waits for a peer) writes Restore to standard output, puts
  // back the saved terminal modes and ends the process with 130 at once.
  static void SetForcedEnd(std::string_view Restore);

 private:
  static void Handler(int Signal);
  void Drain();

  std::vector<int> FSignals;
  std::function<void(int)> FOnSignal;
  std::unique_ptr<QSocketNotifier> FNotifier;
};

// How long the end of the program waits for the server's conversations to
// return, and then for the server's threads to leave UDT.
inline constexpr std::chrono::milliseconds kConversationsBound{700};
inline constexpr std::chrono::milliseconds kThreadBound{1500};

// The whole program around a front-end: starts the transport, makes the Qt
// application (MakeApplication), hooks the main thread, turns Signals into the
// front-end's Quit (SIGWINCH into Resize), creates the front-end (Create) and
// runs the event loop until it ends. Then it ends the front-end's pages
// (TFrontEnd::End, kConversationsBound), destroys the front-end, gives the
// server's threads kThreadBound to leave UDT, writes out the debug output and
// ends the process with the loop's code (TUDTSocketServices::EndProcess). A
// conversation or thread that does not end in time is not waited for. Returns
// only when Create throws, with 2 (the reason goes to standard error).
int RunProgram(const std::function<std::unique_ptr<QCoreApplication>()>& MakeApplication,
               const std::function<std::unique_ptr<TFrontEnd>()>& Create,
               std::vector<int> Signals);
