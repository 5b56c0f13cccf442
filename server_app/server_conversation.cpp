#include "server_conversation.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "exchange_protocol.h"
#include "received_file.h"
#include "server_socket_thread.h"
#include "sysutils.h"
#include "transfer_meter.h"

std::u16string Printable(const std::u16string& Name) {
  static const char16_t kHex[] = u"0123456789ABCDEF";
  std::u16string out;
  for (char16_t c : Name) {
    if (IsControlCharacter(c)) {
      out += u"\\x";
      out.push_back(kHex[(c >> 4) & 0xF]);
      out.push_back(kHex[c & 0xF]);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

// ---- one conversation ----

TServerConversation::TServerConversation(TUDTCustomIpClient& ClientSocket,
                                         std::function<std::string()> Folder, TEvents Events,
                                         TConversations* Conversations)
    : FClientSocket(ClientSocket),
      FFolder(std::move(Folder)),
      FEvents(std::move(Events)),
      FConversations(Conversations) {}

void TServerConversation::Run() {
  PostInfo(u"Accpet connection");
  bool error = false;
  std::u16string message;
  auto terminated = [this] {
    TUDTClientSocketThread* worker = FClientSocket.GetThreadObject();
    return worker && worker->Terminated();
  };
  while (FClientSocket.Connected() && !terminated() && !error) {
    message.clear();
    try {
      if (!FClientSocket.WaitForData(-1)) continue;
      FClientSocket.ReceiveString(message);
      FClientSocket.SendString(protocol::Reply(message));
      PostInfo(message);
      if (protocol::IsFileRequest(message)) ReceiveFile();
    } catch (...) {
      error = true;
    }
  }
  PostInfo(u"Work thread Terminated");
}

void TServerConversation::PostInfo(const std::u16string& Msg) {
  if (FEvents.OnLog)
    FEvents.OnLog({AnsiToUnicode(FClientSocket.RemoteHost()),
                   AnsiToUnicode(FClientSocket.RemotePort()), Msg, true});
}

void TServerConversation::ReceiveFile() {
  const std::optional<int32_t> field = FClientSocket.ReceiveField();
  std::u16string name;
  FClientSocket.ReceiveString(name);
  // A failed receive has closed the connection.
  if (!FClientSocket.Connected() || !field) return;
  const int32_t size = *field;
  // The program's end lets a file under way land for a moment before it closes.
  struct Receiving {
    TConversations* c;
    explicit Receiving(TConversations* c) : c(c) {
      if (c) c->EnterFile();
    }
    ~Receiving() {
      if (c) c->LeaveFile();
    }
  } receiving{FConversations};

  // The bytes are hashed as they are stored, so the hash costs no second pass.
  TTransferMeter meter;
  meter.Begin(FClientSocket, TTransferMeter::TSide::Receiving);
  std::unique_ptr<TReceivedFile> file;
  try {
    file = std::make_unique<TReceivedFile>(FFolder(), name);
  } catch (const ERefusedFileName& e) {
    // The data that follows cannot be told from later messages, so the
    // conversation ends here.
    PostInfo(u"Refused file \"" + Printable(name) + u"\": " + e.Message());
    ReportTransfer(name, meter, TTransferOutcome::Refused);
    throw;
  } catch (const EReceivedFileError&) {
    ReportTransfer(name, meter, TTransferOutcome::Refused);
    throw;
  }
  const int32_t block = std::clamp(FBlock, 1, kMaxBlock);
  std::vector<char> data(static_cast<size_t>(block));
  char* buffer = data.data();
  int32_t stored = 0;
  std::exception_ptr failure;
  try {
    while (stored < size) {
      int32_t n = FClientSocket.ReceiveBuf(buffer, std::min(block, size - stored), 0);
      if (n <= 0) break;
      file->Write(buffer, n);
      meter.Add(FClientSocket, buffer, n);
      stored += n;
    }
    if (stored >= size) file->Commit();
  } catch (...) {
    failure = std::current_exception();
  }
  ReportFile(*file, size, meter);
  if (failure) std::rethrow_exception(failure);
}

void TServerConversation::ReportFile(TReceivedFile& File, int32_t Size, TTransferMeter& Meter) {
  const std::u16string name = u"\"" + Printable(File.Name()) + u"\"";
  const bool complete = File.Outcome() == TFileOutcome::Complete;
  if (complete) {
    PostInfo(u"Stored file " + name + u", " + Decimal(File.Received()) + u" bytes");
  } else {
    const bool kept = File.Abandon();
    PostInfo(u"Cut file " + name + u" after " + Decimal(File.Received()) + u" of " +
             Decimal(Size) + u" bytes, " +
             (kept ? u"kept as \"" + Printable(File.PartName()) + u"\""
                   : std::u16string(u"nothing kept")));
  }
  TTransferSummary summary = ReportTransfer(
      File.Name(), Meter, complete ? TTransferOutcome::Complete : TTransferOutcome::Cut);
  // Who listens hears what was kept, once the file has its final name.
  if (!FEvents.OnFileReceived) return;
  std::string path;
  if (complete || File.Received() > 0)
    path = FFolder() + '/' + Utf16ToUtf8(complete ? File.Name() : File.PartName());
  if (path.empty()) summary.Sha256.clear();
  FEvents.OnFileReceived({File.Name(), path, Size, complete, std::move(summary)});
}

TTransferSummary TServerConversation::ReportTransfer(const std::u16string& Name,
                                                     TTransferMeter& Meter,
                                                     TTransferOutcome Outcome) {
  TTransferSummary s = Meter.Finish(FClientSocket, Outcome);
  s.Peer = FClientSocket.RemoteHost() + ":" + FClientSocket.RemotePort();
  s.Name = Utf16ToUtf8(Printable(Name));
  s.Settings = FClientSocket.SettingsInForce();
  if (s.Settings) s.Settings->Block = FBlock;
  if (FEvents.OnTransfer) FEvents.OnTransfer(s);
  return s;
}

// ---- the running conversations ----

bool TConversations::Enter(TUDTCustomIpClient* ClientSocket) {
  std::lock_guard<std::mutex> g(FLock);
  if (FClosed) return false;
  FHandles.push_back(ClientSocket->Handle());
  return true;
}

void TConversations::Leave(TUDTCustomIpClient* ClientSocket) {
  std::lock_guard<std::mutex> g(FLock);
  auto it = std::find(FHandles.begin(), FHandles.end(), ClientSocket->Handle());
  if (it != FHandles.end()) FHandles.erase(it);
  if (FHandles.empty()) FIdle.notify_all();
}

void TConversations::CloseAll() {
  std::vector<int32_t> handles;
  {
    std::lock_guard<std::mutex> g(FLock);
    FClosed = true;
    handles = FHandles;
  }
  // A close from another thread wakes the handler out of any UDT call it is
  // waiting in, and its own calls then fail on the closed handle. Each close
  // runs on a thread of its own: UDT4's close first waits for the peer to
  // acknowledge what was sent, up to three minutes, or until a peer that died
  // is declared broken, about 46 s; none of that may hold up the others, nor
  // the caller.
  for (int32_t h : handles) {
    try {
      std::thread(CloseWithoutLinger, h).detach();
    } catch (const std::system_error&) {
      CloseWithoutLinger(h);
    }
  }
}

void TConversations::CloseWithoutLinger(int32_t Handle) noexcept {
  // The end drops replies that the peer has not acknowledged. Only then is the
  // linger changed: UDT4's setsockopt waits for a receive or send in progress,
  // and a connection with nothing unacknowledged closes at once anyway.
  int32_t unacknowledged = 0;
  if (udt_getsnddata(Handle, &unacknowledged) == 0 && unacknowledged > 0)
    udt_setlinger(Handle, 0, 0);
  udt_close(Handle);
}

void TConversations::EnterFile() { FReceiving.fetch_add(1); }

void TConversations::LeaveFile() { FReceiving.fetch_sub(1); }

bool TConversations::WaitIdle(std::chrono::milliseconds Timeout) {
  std::unique_lock<std::mutex> g(FLock);
  return FIdle.wait_for(g, Timeout, [this] { return FHandles.empty(); });
}

void TConversations::WaitIdle() {
  std::unique_lock<std::mutex> g(FLock);
  FIdle.wait(g, [this] { return FHandles.empty(); });
}

std::vector<int32_t> TConversations::Handles() const {
  std::lock_guard<std::mutex> g(FLock);
  return FHandles;
}

int TConversations::Count() const {
  std::lock_guard<std::mutex> g(FLock);
  return static_cast<int>(FHandles.size());
}
