#include "server_form.h"

#include <algorithm>
#include <string>
#include <vector>

#include "app_support.h"
#include "exchange_protocol.h"
#include "received_file.h"
#include "work_thread.h"

namespace {

std::u16string Decimal(int64_t v) { return Utf8ToUtf16(std::to_string(v)); }

// A received name as it can stand in one log line: control characters as \xNN.
std::u16string Printable(const std::u16string& Name) {
  static const char16_t kHex[] = u"0123456789ABCDEF";
  std::u16string out;
  for (char16_t c : Name) {
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
      out += u"\\x";
      out.push_back(kHex[(c >> 4) & 0xF]);
      out.push_back(kHex[c & 0xF]);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace

// ---- conversations ----

bool TForm1::TConversations::Enter(TUDTCustomIpClient* ClientSocket) {
  std::lock_guard<std::mutex> g(FLock);
  if (FClosed) return false;
  FHandles.push_back(ClientSocket->Handle());
  return true;
}

void TForm1::TConversations::Leave(TUDTCustomIpClient* ClientSocket) {
  std::lock_guard<std::mutex> g(FLock);
  auto it = std::find(FHandles.begin(), FHandles.end(), ClientSocket->Handle());
  if (it != FHandles.end()) FHandles.erase(it);
  if (FHandles.empty()) FIdle.notify_all();
}

void TForm1::TConversations::CloseAll() {
  std::lock_guard<std::mutex> g(FLock);
  FClosed = true;
  // A close from another thread wakes the handler out of any UDT call it is
  // waiting in, and its own calls then fail on the closed handle. (No linger
  // change first: UDT4's setsockopt waits for a receive in progress.)
  for (int32_t h : FHandles) udt_close(h);
}

bool TForm1::TConversations::WaitIdle(std::chrono::milliseconds Timeout) {
  std::unique_lock<std::mutex> g(FLock);
  return FIdle.wait_for(g, Timeout, [this] { return FHandles.empty(); });
}

void TForm1::TConversations::WaitIdle() {
  std::unique_lock<std::mutex> g(FLock);
  FIdle.wait(g, [this] { return FHandles.empty(); });
}

int TForm1::TConversations::Count() const {
  std::lock_guard<std::mutex> g(FLock);
  return static_cast<int>(FHandles.size());
}

std::vector<int32_t> TForm1::TConversations::Handles() const {
  std::lock_guard<std::mutex> g(FLock);
  return FHandles;
}

// ---- the window's logic ----

TForm1::TForm1(IServerView& View, const TSocketPort& LocalPort)
    : FView(View),
      FQueue(std::make_shared<TMainThreadQueue>()),
      FConversations(std::make_shared<TConversations>()),
      FReceiveFolder(ExecutableFolder()),
      FUdtServer1(std::make_unique<TUDTServer>(nullptr)) {
  FUdtServer1->SetLocalHost(protocol::kListenHost);
  FUdtServer1->SetLocalPort(LocalPort);
  FUdtServer1->OnAccept = [this, conversations = FConversations](
                              TObject* Sender, TUDTCustomIpClient* ClientSocket) {
    // The handler runs after the server has let go of it; admission tells
    // whether this form still exists, and it cannot go away before Leave.
    if (!conversations->Enter(ClientSocket)) return;
    struct Leaving {
      TForm1* form;
      TConversations& c;
      TUDTCustomIpClient* s;
      ~Leaving() {
        // Posted before leaving, while the form surely exists; dropped if it goes first.
        form->FQueue->Post([form = form] { form->FMemoryRelease.ConversationEnded(); });
        c.Leave(s);
      }
    } leaving{this, *conversations, ClientSocket};
    UdtServer1Accept(Sender, ClientSocket);
  };
  FUdtServer1->OnGetThread = [this](TObject* Sender, TUDTClientSocketThread*& ClientSocketThread) {
    UdtServer1GetThread(Sender, ClientSocketThread);
  };
  // The server may also be closed by its error path on its own threads; the
  // buttons follow through the main thread.
  auto followState = [this, queue = FQueue](TObject*) { queue->Post([this] { actCloseUpdate(); }); };
  FUdtServer1->OnCreateHandle = followState;
  FUdtServer1->OnDestroyHandle = followState;
}

TForm1::~TForm1() {
  // The server's destructor waits for its dispatcher and workers to leave it;
  // from then on a conversation is either registered, and closed below, or
  // refused when it tries to begin.
  FUdtServer1.reset();
  FConversations->CloseAll();
  // Each handler wakes as its connection closes. The wait has no bound on
  // purpose: a handler still running would use this object after it is gone.
  FConversations->WaitIdle();
  FQueue->Detach();
}

bool TForm1::Shutdown(std::chrono::milliseconds Timeout) {
  if (FUdtServer1) FUdtServer1->Close();
  FConversations->CloseAll();
  return FConversations->WaitIdle(Timeout);
}

int TForm1::ConversationCount() const { return FConversations->Count(); }

std::vector<int32_t> TForm1::ConversationHandles() const { return FConversations->Handles(); }

void TForm1::SetLinkSettings(const TLinkSettings& Settings) {
  FUdtServer1->SetLinkSettings(Settings);
  FBlock = Settings.Block.value_or(protocol::kPieceSize);
}

std::string TForm1::ReceiveFolder() const {
  std::lock_guard<std::mutex> g(FFolderLock);
  return FReceiveFolder;
}

void TForm1::SetReceiveFolder(const std::string& Folder) {
  std::lock_guard<std::mutex> g(FFolderLock);
  FReceiveFolder = Folder;
}

void TForm1::FormCreate() {
  FUdtServer1->SetActive(true);
  actCloseUpdate();
}

void TForm1::actOpenExecute() {
  if (FUdtServer1->Active()) FUdtServer1->Close();
  FUdtServer1->SetLocalHost(UnicodeToAnsi(FView.EditText(edtIP)));
  FUdtServer1->SetLocalPort(UnicodeToAnsi(FView.EditText(edtPort)));
  FUdtServer1->Open();
}

void TForm1::actCloseExecute() { FUdtServer1->Close(); }

void TForm1::actCloseUpdate() {
  const bool active = FUdtServer1 && FUdtServer1->Active();
  FView.SetButtonEnabled(btnOpen, !active);
  FView.SetButtonEnabled(btnClose, active);
}

void TForm1::Memo1DblClick() { FView.ClearLog(); }

void TForm1::Button1Click() { FView.ShowOtherWindows(); }

void TForm1::UdtServer1GetThread(TObject* Sender, TUDTClientSocketThread*& ClientSocketThread) {
  // The asking server comes as Sender; FUdtServer1 may already be on its way out.
  auto* server = dynamic_cast<TCustomUDTServer*>(Sender);
  if (!server) return;
  ClientSocketThread =
      new TWorkThread(server->ServerSocketThread(), FQueue,
                      [this](const std::u16string& Line) { AppendPostedLine(Line); });
}

void TForm1::UdtServer1Accept(TObject*, TUDTCustomIpClient* ClientSocket) {
  PostInfo(*ClientSocket, u"Accpet connection");
  bool error = false;
  ClientSocket->OnError = [this](TObject* Sender, int32_t SocketError, const char* ErrorDesc) {
    ClientSocketError(Sender, SocketError, ErrorDesc);
  };
  std::u16string message;
  auto terminated = [ClientSocket] {
    TUDTClientSocketThread* worker = ClientSocket->GetThreadObject();
    return worker && worker->Terminated();
  };
  while (ClientSocket->Connected() && !terminated() && !error) {
    message.clear();
    try {
      if (!ClientSocket->WaitForData(-1)) continue;
      ClientSocket->ReceiveString(message);
      ClientSocket->SendString(protocol::Reply(message));
      PostInfo(*ClientSocket, message);
      if (protocol::IsFileRequest(message)) ReceiveFile(*ClientSocket);
    } catch (...) {
      error = true;
    }
  }
  PostInfo(*ClientSocket, u"Work thread Terminated");
}

void TForm1::ReceiveFile(TUDTCustomIpClient& ClientSocket) {
  char field[4];
  int32_t got = 0;
  while (got < 4) {
    int32_t r = ClientSocket.ReceiveBuf(field + got, 4 - got, 0);
    if (r <= 0) break;
    got += r;
  }
  std::u16string name;
  ClientSocket.ReceiveString(name);
  // A failed receive has closed the connection.
  if (!ClientSocket.Connected() || got < 4) return;
  const int32_t size = *protocol::DecodeSizeField({field, 4});

  // The bytes are hashed as they are stored, so the hash costs no second pass.
  TTransferMeter meter;
  meter.Begin(ClientSocket, TTransferMeter::TSide::Receiving);
  std::unique_ptr<TReceivedFile> file;
  try {
    file = std::make_unique<TReceivedFile>(ReceiveFolder(), name);
  } catch (const ERefusedFileName& e) {
    // The data that follows cannot be told from later messages, so the
    // conversation ends here.
    PostInfo(ClientSocket, u"Refused file \"" + Printable(name) + u"\": " + e.Message());
    PostTransfer(ClientSocket, name, meter, TTransferOutcome::Refused);
    throw;
  } catch (const EReceivedFileError&) {
    PostTransfer(ClientSocket, name, meter, TTransferOutcome::Refused);
    throw;
  }
  const auto started = std::chrono::steady_clock::now();
  // Tells who listens what was kept, once the file has its final name.
  auto report = [&](const TTransferSummary& Summary) {
    if (!OnFileReceived) return;
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    const bool complete = file->Outcome() == TFileOutcome::Complete;
    std::string path;
    if (complete || file->Received() > 0)
      path = ReceiveFolder() + '/' + Utf16ToUtf8(complete ? file->Name() : file->PartName());
    OnFileReceived(ClientSocket,
                   {name, path, size, file->Received(), took.count(), complete,
                    path.empty() ? std::string() : Summary.Sha256});
  };
  auto outcome = [&file] {
    return file->Outcome() == TFileOutcome::Complete ? TTransferOutcome::Complete
                                                     : TTransferOutcome::Cut;
  };
  const int32_t block = std::clamp(Block(), 1, kMaxBlock);
  std::vector<char> data(static_cast<size_t>(block));
  char* buffer = data.data();
  int32_t stored = 0;
  try {
    while (stored < size) {
      int32_t n = ClientSocket.ReceiveBuf(buffer, std::min(block, size - stored), 0);
      if (n <= 0) break;
      file->Write(buffer, n);
      meter.Add(ClientSocket, buffer, n);
      stored += n;
    }
    if (stored >= size) file->Commit();
  } catch (...) {
    PostFileOutcome(ClientSocket, *file, size);
    report(PostTransfer(ClientSocket, name, meter, outcome()));
    throw;
  }
  PostFileOutcome(ClientSocket, *file, size);
  report(PostTransfer(ClientSocket, name, meter, outcome()));
}

TTransferSummary TForm1::PostTransfer(TUDTCustomIpClient& ClientSocket,
                                      const std::u16string& Name, TTransferMeter& Meter,
                                      TTransferOutcome Outcome) {
  TTransferSummary s = Meter.Finish(ClientSocket, Outcome);
  s.Peer = ClientSocket.RemoteHost() + ":" + ClientSocket.RemotePort();
  s.Name = Utf16ToUtf8(Printable(Name));
  s.Settings = ClientSocket.SettingsInForce();
  if (s.Settings) s.Settings->Block = Block();
  FQueue->Post([this, s] { FView.AddTransfer(s); });
  return s;
}

void TForm1::PostFileOutcome(TUDTCustomIpClient& ClientSocket, TReceivedFile& File, int32_t Size) {
  const std::u16string name = u"\"" + Printable(File.Name()) + u"\"";
  if (File.Outcome() == TFileOutcome::Complete) {
    PostInfo(ClientSocket, u"Stored file " + name + u", " + Decimal(File.Received()) + u" bytes");
    return;
  }
  const bool kept = File.Abandon();
  PostInfo(ClientSocket, u"Cut file " + name + u" after " + Decimal(File.Received()) + u" of " +
                             Decimal(Size) + u" bytes, " +
                             (kept ? u"kept as \"" + Printable(File.PartName()) + u"\""
                                   : std::u16string(u"nothing kept")));
}

void TForm1::ClientSocketError(TObject* Sender, int32_t SocketError, const char* ErrorDesc) {
  const std::u16string className = AnsiToUnicode(Sender ? Sender->ClassName() : std::string());
  const std::u16string tail =
      className + u", " + Decimal(SocketError) + u": " + AnsiToUnicode(ErrorDesc ? ErrorDesc : "");
  OutputDebugString(u"Handle Error  " + tail);
  auto* connection = dynamic_cast<TUDTCustomIpClient*>(Sender);
  PostLine(connection ? connection->GetThreadObject() : CurrentClientSocketThread,
           u"Handle Error " + tail);
}

void TForm1::PostInfo(TUDTCustomIpClient& ClientSocket, const std::u16string& Msg) {
  PostLine(ClientSocket.GetThreadObject(), u"<" + AnsiToUnicode(ClientSocket.RemoteHost()) +
                                               u": " + AnsiToUnicode(ClientSocket.RemotePort()) +
                                               u"> " + Msg);
}

void TForm1::PostLine(TUDTClientSocketThread* Worker, const std::u16string& Line) {
  if (auto* work = dynamic_cast<TWorkThread*>(Worker)) {
    work->PostLine(Line);
    return;
  }
  // A worker of another kind (the pool's default) has no line of its own to carry.
  FQueue->Post([this, Line] { AppendPostedLine(Line); });
}

void TForm1::AppendPostedLine(const std::u16string& Line) { FView.AppendLog(Line); }
