// The command line of the bench's programs: where the server listens at start,
// where received files go, and the exit codes every program shares.
#pragma once

#include <QCommandLineOption>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <string>

#include "exchange_protocol.h"
#include "link_options.h"

class QCommandLineParser;

// The exit codes of udtbench, udtbench-tui and udtbench-cli.
enum TExitCode : int {
  ecSuccess = 0,      // everything asked for was done
  ecFailed = 1,       // a transfer or an exchange failed
  ecUsage = 2,        // bad usage, or the server could not listen where asked
  ecUnreachable = 3,  // the peer could not be reached
};

// An address given as [HOST:]PORT. An empty host stands for every local IPv4 address.
struct TListenAddress {
  std::string Host;
  uint16_t Port = protocol::kDefaultPortNumber;
  // "HOST:PORT", or "*:PORT" for every local address.
  std::string Text() const;
};

// Reads [HOST:]PORT; PORT is decimal, 1 to 65535.
// Empty with Error set when the text is not of that form.
std::optional<TListenAddress> ParseListenAddress(const std::string& Text, std::string& Error);

// Why nothing can listen for UDP at Address (the host does not resolve, is
// not local, or the port is taken), or empty when a socket could bind there
// just now. Blocks for the host's look-up.
std::string ListenProblem(const TListenAddress& Address);

// Why received files cannot be stored in Folder (missing, not a folder, not
// writable), or empty.
std::string FolderProblem(const std::string& Folder);

// The options both front-ends accept.
struct TBenchOptions {
  // Where the server page listens at start; every local address, the default port, when not given.
  std::optional<TListenAddress> Listen;
  // Where received files go; the program's own folder when not given.
  std::optional<std::string> Folder;
  // The link settings the server page listens with; none when not given.
  TLinkSettings Link;
};

// The --listen and --folder options of a program with a server page.
struct TServerOptions {
  // Where tells who listens, for the help ("the server page").
  explicit TServerOptions(const QString& Where);
  // Reads both from Parser into Options: Folder made absolute, both checked.
  // On an error prints one line to standard error and returns ecUsage.
  std::optional<int> Read(const QCommandLineParser& Parser, TBenchOptions& Options) const;

  QCommandLineOption Listen;
  QCommandLineOption Folder;
  TLinkOptions Link;
  // Listen, Folder and the link options, for a parser.
  QList<QCommandLineOption> All() const;
};

// What a program does after reading its command line.
struct TCommandLineOutcome {
  // Set when the program ends at once with this code (help, version, bad usage);
  // its text has then been written to standard output or standard error.
  std::optional<int> ExitNow;
};

// Throws, saying where, when Options asked for a listen address and the
// server is not Listening there.
void RequireListening(const TBenchOptions& Options, bool Listening);

// The exit codes as a paragraph for --help.
QString ExitCodesHelp();

// Reads --listen, --folder, --help and --version of a front-end from Arguments
// (the program's name first). Qt's own options of a window program (-platform
// NAME and the like) pass unread when KeepToolkitOptions is set. Checks that
// the folder exists and that the listen address can be bound. On --help or
// --version prints and returns ExitNow 0; on an error prints one line to
// standard error and returns ExitNow ecUsage. Call before any window exists.
TCommandLineOutcome ReadBenchOptions(const QStringList& Arguments, const QString& Description,
                                     bool KeepToolkitOptions, TBenchOptions& Options);

// The program's arguments as Qt text, before any application object exists.
QStringList ArgumentList(int argc, char** argv);

// The parser's help with the program's name in its usage line (no application
// object exists yet to tell it).
QString HelpText(const QCommandLineParser& Parser);

// The name error lines and help start with; ArgumentList sets it from argv[0].
void SetProgramName(const std::string& Name);
const std::string& ProgramName();

// Writes "PROGRAM: Message" as one line to standard error.
void PrintError(const std::string& Message);
