#include "server_form.h"

#include <string>
#include <vector>

#include "app_support.h"
#include "work_thread.h"

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
int TForm1::ReceivingCount() const { return FConversations->Receiving(); }

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
                      [this](const TServerLogLine& Line) { AppendPostedLine(Line); });
}

void TForm1::UdtServer1Accept(TObject*, TUDTCustomIpClient* ClientSocket) {
  ClientSocket->OnError = [this](TObject* Sender, int32_t SocketError, const char* ErrorDesc) {
    ClientSocketError(Sender, SocketError, ErrorDesc);
  };
  TServerConversation::TEvents events;
  events.OnLog = [this, ClientSocket](const TServerLogLine& Line) {
    PostLine(ClientSocket->GetThreadObject(), Line);
  };
  events.OnTransfer = [this](const TTransferSummary& Summary) {
    FQueue->Post([this, Summary] { FView.AddTransfer(Summary); });
  };
  events.OnFileReceived = [this, ClientSocket](const TFileReceipt& Receipt) {
    if (OnFileReceived) OnFileReceived(*ClientSocket, Receipt);
  };
  TServerConversation conversation(*ClientSocket, [this] { return ReceiveFolder(); },
                                   std::move(events), FConversations.get());
  conversation.SetBlock(Block());
  conversation.Run();
}

void TForm1::ClientSocketError(TObject* Sender, int32_t SocketError, const char* ErrorDesc) {
  const std::u16string className = AnsiToUnicode(Sender ? Sender->ClassName() : std::string());
  const std::u16string tail =
      className + u", " + Decimal(SocketError) + u": " + AnsiToUnicode(ErrorDesc ? ErrorDesc : "");
  OutputDebugString(u"Handle Error  " + tail);
  auto* connection = dynamic_cast<TUDTCustomIpClient*>(Sender);
  PostLine(connection ? connection->GetThreadObject() : CurrentClientSocketThread,
           {{}, {}, u"Handle Error " + tail, false});
}

void TForm1::PostLine(TUDTClientSocketThread* Worker, const TServerLogLine& Line) {
  if (auto* work = dynamic_cast<TWorkThread*>(Worker)) {
    work->PostLine(Line);
    return;
  }
  // A worker of another kind (the pool's default) has no line of its own to carry.
  FQueue->Post([this, Line] { AppendPostedLine(Line); });
}

void TForm1::AppendPostedLine(const TServerLogLine& Line) { FView.AppendLogLine(Line); }
