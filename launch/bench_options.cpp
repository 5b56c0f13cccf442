#include "bench_options.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QFileInfo>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace {

std::string g_Program = "udtbench";

// Toolkit options a window program hands on to Qt: they are read, never refused.
const char* const kToolkitValueOptions[] = {"platform", "platformpluginpath", "platformtheme",
                                            "plugin", "qwindowgeometry", "qwindowicon",
                                            "qwindowtitle", "style", "stylesheet", "session",
                                            "display", "geometry"};
const char* const kToolkitFlags[] = {"reverse", "widgetcount", "nograb", "dograb", "sync"};

}  // namespace

std::string TListenAddress::Text() const {
  return (Host.empty() ? std::string("*") : Host) + ":" + std::to_string(Port);
}

std::optional<TListenAddress> ParseListenAddress(const std::string& Text, std::string& Error) {
  TListenAddress a;
  std::string port = Text;
  const size_t colon = Text.rfind(':');
  if (colon != std::string::npos) {
    a.Host = Text.substr(0, colon);
    port = Text.substr(colon + 1);
    if (a.Host.empty()) {
      Error = "\"" + Text + "\" has no host before the colon; give HOST:PORT or PORT";
      return std::nullopt;
    }
  }
  unsigned value = 0;
  auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (port.empty() || ec != std::errc() || end != port.data() + port.size() || value < 1 ||
      value > 65535) {
    Error = "\"" + port + "\" is not a port number (1 to 65535)";
    return std::nullopt;
  }
  a.Port = static_cast<uint16_t>(value);
  return a;
}

std::string ListenProblem(const TListenAddress& Address) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(Address.Port);
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!Address.Host.empty()) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(Address.Host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || !found)
      return "cannot listen on " + Address.Text() + ": the host \"" + Address.Host +
             "\" has no IPv4 address (" + ::gai_strerror(rc) + ")";
    sa.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    ::freeaddrinfo(found);
  }
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return "cannot listen on " + Address.Text() + ": " + std::strerror(errno);
  std::string problem;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0)
    problem = "cannot listen on " + Address.Text() + ": " + std::strerror(errno);
  ::close(fd);
  return problem;
}

std::string FolderProblem(const std::string& Folder) {
  const QFileInfo info(QString::fromStdString(Folder));
  if (!info.exists()) return "the folder \"" + Folder + "\" does not exist";
  if (!info.isDir()) return "\"" + Folder + "\" is not a folder";
  if (!info.isWritable()) return "the folder \"" + Folder + "\" is not writable";
  return {};
}

QString ExitCodesHelp() {
  return QStringLiteral(
      "Exit codes:\n"
      "  0  success\n"
      "  1  a transfer or an exchange failed\n"
      "  2  bad usage, or the server cannot listen where asked\n"
      "  3  the peer cannot be reached\n");
}

TCommandLineOutcome ReadBenchOptions(const QStringList& Arguments, const QString& Description,
                                     bool KeepToolkitOptions, TBenchOptions& Options) {
  QCommandLineParser parser;
  parser.setApplicationDescription(Description + QStringLiteral("\n\n") + ExitCodesHelp());
  // Qt's own options come with one dash and a long name (-platform offscreen).
  if (KeepToolkitOptions) parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                QStringLiteral("Shows this help and ends."));
  const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                   QStringLiteral("Shows the version and ends."));
  const TServerOptions server(QStringLiteral("the server page"));
  parser.addOptions({help, version});
  parser.addOptions(server.All());
  if (KeepToolkitOptions) {
    for (const char* name : kToolkitValueOptions) {
      QCommandLineOption o(QString::fromLatin1(name), QString(), QStringLiteral("value"));
      o.setFlags(QCommandLineOption::HiddenFromHelp);
      parser.addOption(o);
    }
    for (const char* name : kToolkitFlags) {
      QCommandLineOption o(QString::fromLatin1(name));
      o.setFlags(QCommandLineOption::HiddenFromHelp);
      parser.addOption(o);
    }
  }

  TCommandLineOutcome outcome;
  auto usage = [&](const std::string& message) {
    PrintError(message + " (see --help)");
    outcome.ExitNow = ecUsage;
    return outcome;
  };
  if (!parser.parse(Arguments)) return usage(parser.errorText().toStdString());
  if (parser.isSet(help)) {
    std::fputs(HelpText(parser).toLocal8Bit().constData(), stdout);
    outcome.ExitNow = ecSuccess;
    return outcome;
  }
  if (parser.isSet(version)) {
    std::printf("%s %s\n", g_Program.c_str(), UDTBENCH_VERSION);
    outcome.ExitNow = ecSuccess;
    return outcome;
  }
  if (!parser.positionalArguments().isEmpty())
    return usage("unexpected argument \"" + parser.positionalArguments().first().toStdString() +
                 "\"");
  outcome.ExitNow = server.Read(parser, Options);
  return outcome;
}

TServerOptions::TServerOptions(const QString& Where)
    : Listen(QStringLiteral("listen"),
             QStringLiteral("Where %1 listens at start (default: every local IPv4 address, port %2).")
                 .arg(Where, QString::fromLatin1(protocol::kDefaultPort)),
             QStringLiteral("[HOST:]PORT")),
      Folder(QStringLiteral("folder"),
             QStringLiteral("Where received files are stored (default: the program's folder)."),
             QStringLiteral("DIR")),
      Link(Where) {}

QList<QCommandLineOption> TServerOptions::All() const { return QList{Listen, Folder} + Link.Options; }

std::optional<int> TServerOptions::Read(const QCommandLineParser& Parser, TBenchOptions& Options) const {
  if (Parser.isSet(Listen)) {
    std::string error;
    Options.Listen = ParseListenAddress(Parser.value(Listen).toStdString(), error);
    if (!Options.Listen) {
      PrintError("--listen: " + error + " (see --help)");
      return ecUsage;
    }
    if (std::string problem = ListenProblem(*Options.Listen); !problem.empty()) {
      PrintError(problem);
      return ecUsage;
    }
  }
  if (Parser.isSet(Folder)) {
    Options.Folder = QFileInfo(Parser.value(Folder)).absoluteFilePath().toStdString();
    if (std::string problem = FolderProblem(*Options.Folder); !problem.empty()) {
      PrintError("--folder: " + problem + " (see --help)");
      return ecUsage;
    }
  }
  return Link.Read(Parser, Options.Link);
}

void RequireListening(const TBenchOptions& Options, bool Listening) {
  if (Options.Listen && !Listening)
    throw std::runtime_error("cannot listen on " + Options.Listen->Text());
}

QStringList ArgumentList(int argc, char** argv) {
  QStringList list;
  for (int i = 0; i < argc; ++i) list << QString::fromLocal8Bit(argv[i]);
  if (argc > 0) g_Program = QFileInfo(list.first()).fileName().toStdString();
  return list;
}

QString HelpText(const QCommandLineParser& Parser) {
  return Parser.helpText().replace(QStringLiteral("<executable_name>"),
                                   QString::fromStdString(g_Program));
}

void SetProgramName(const std::string& Name) { g_Program = Name; }

const std::string& ProgramName() { return g_Program; }

void PrintError(const std::string& Message) {
  std::fprintf(stderr, "%s: %s\n", g_Program.c_str(), Message.c_str());
}
