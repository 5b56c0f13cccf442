#include "server_test_support.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

#include "app_support.h"
#include "received_file.h"
#include "sysutils.h"

namespace server_test {

bool WaitWithEvents(const std::function<bool()>& pred, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  for (;;) {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    if (pred()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

uint16_t FreeUdpPort() {
  int s = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = 0;
  socklen_t len = sizeof a;
  uint16_t port = 0;
  if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  ::close(s);
  return port;
}

std::u16string U16(const std::string& utf8) { return Utf8ToUtf16(utf8); }
std::string U8(const std::u16string& s) { return Utf16ToUtf8(s); }

std::string SizeField(int32_t size) {
  std::string out(4, '\0');
  std::memcpy(out.data(), &size, 4);
  return out;
}

std::string Frame(const std::u16string& text) {
  std::string out = SizeField(static_cast<int32_t>(text.size()));
  for (char16_t c : text) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>(c >> 8));
  }
  return out;
}

std::string Pattern(size_t n, unsigned seed) {
  std::string out(n, '\0');
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<char>((i * 31 + seed * 7 + i / 251) & 0xFF);
  return out;
}

std::string Hex(const std::string& bytes) {
  std::string out;
  char buf[4];
  for (unsigned char c : bytes) {
    std::snprintf(buf, sizeof buf, "%02X ", c);
    out += buf;
  }
  return out;
}

// ---- RawClient ----

RawClient::RawClient(std::chrono::milliseconds sendBound)
    : FSock(UDT::socket(AF_INET, SOCK_STREAM, 0)) {
  int ms = static_cast<int>(kWaitBound.count());
  UDT::setsockopt(FSock, 0, UDT_RCVTIMEO, &ms, sizeof ms);
  ms = static_cast<int>(sendBound.count());
  UDT::setsockopt(FSock, 0, UDT_SNDTIMEO, &ms, sizeof ms);
}

RawClient::~RawClient() { Close(); }

bool RawClient::Connect(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (UDT::connect(FSock, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
  sockaddr_in self{};
  int len = sizeof self;
  if (UDT::getsockname(FSock, reinterpret_cast<sockaddr*>(&self), &len) == 0)
    FLocalPort = ntohs(self.sin_port);
  return true;
}

bool RawClient::SendBytes(const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    int r = UDT::send(FSock, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
    if (r <= 0) return false;
    sent += static_cast<size_t>(r);
  }
  return true;
}

std::string RawClient::RecvBytes(size_t n) {
  std::string out(n, '\0');
  size_t got = 0;
  while (got < n) {
    int r = UDT::recv(FSock, out.data() + got, static_cast<int>(n - got), 0);
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  out.resize(got);
  return out;
}

std::optional<std::u16string> RawClient::RecvFrame() {
  std::string count = RecvBytes(4);
  if (count.size() < 4) return std::nullopt;
  int32_t n;
  std::memcpy(&n, count.data(), 4);
  if (n < 0) return std::nullopt;
  std::string text = RecvBytes(2 * static_cast<size_t>(n));
  if (text.size() < 2 * static_cast<size_t>(n)) return std::nullopt;
  std::u16string out(static_cast<size_t>(n), u'\0');
  std::memcpy(out.data(), text.data(), text.size());
  return out;
}

std::optional<std::u16string> RawClient::Exchange(const std::u16string& text) {
  if (!SendFrame(text)) return std::nullopt;
  return RecvFrame();
}

bool RawClient::SendFile(const std::u16string& name, const std::string& data) {
  auto reply = Exchange(u"#SendFile#");
  if (!reply || *reply != u"Act: #SendFile#") return false;
  return SendBytes(SizeField(static_cast<int32_t>(data.size())) + Frame(name) + data);
}

bool RawClient::ServerClosed() {
  char c;
  // A receive fails with "connection broken" once the server has closed; a
  // time-out means the connection is still up.
  if (UDT::recv(FSock, &c, 1, 0) != UDT::ERROR) return false;
  return UDT::getlasterror().getErrorCode() != CUDTException::ETIMEOUT;
}

void RawClient::Close() {
  if (FSock != UDT::INVALID_SOCK) UDT::close(FSock);
  FSock = UDT::INVALID_SOCK;
}

// ---- DebugCapture ----

DebugCapture::DebugCapture() : FState(std::make_shared<State>()) {
  SetDebugOutputSink([state = FState](const std::u16string& line) {
    std::lock_guard<std::mutex> g(state->lock);
    state->lines.push_back(line);
  });
}

DebugCapture::~DebugCapture() { SetDebugOutputSink(nullptr); }

std::vector<std::u16string> DebugCapture::Lines() const {
  std::lock_guard<std::mutex> g(FState->lock);
  return FState->lines;
}

// ---- ServerFixture ----

void ServerFixture::SetUp() {
  ASSERT_TRUE(FDir.isValid());
  FPort = FreeUdpPort();
  ASSERT_NE(FPort, 0);
  FForm = std::make_unique<TForm1>(FView, std::to_string(FPort));
  FForm->SetReceiveFolder(Folder());
  FForm->FormCreate();
  ASSERT_TRUE(FForm->UdtServer1()->Listening()) << "server did not listen on port " << FPort;
  FView.Log.clear();
}

void ServerFixture::TearDown() { FForm.reset(); }

::testing::AssertionResult ServerFixture::WaitForLines(size_t n) {
  if (WaitWithEvents([&] { return FView.Log.size() >= n; }))
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "the log did not reach " << n << " lines; it holds:\n" << LogText();
}

std::u16string ServerFixture::Peer(const RawClient& c) const {
  return u"<127.0.0.1: " + U16(std::to_string(c.LocalPort())) + u"> ";
}

std::string ServerFixture::ReadFile(const std::string& name) const {
  QFile f(FDir.filePath(QString::fromStdString(name)));
  if (!f.open(QIODevice::ReadOnly)) return "<missing>";
  return f.readAll().toStdString();
}

bool ServerFixture::FileExists(const std::string& name) const {
  return QFile::exists(FDir.filePath(QString::fromStdString(name)));
}

int64_t IncomingBytes(const std::string& folder, int64_t pid) {
  int64_t n = 0;
  const QString prefix = QString::number(pid) + '-';  // as the receiving process names them
  for (const QFileInfo& i : QDir(QString::fromStdString(folder) + '/' + kIncomingFolderName).entryInfoList(QDir::Files | QDir::Hidden))
    if (i.fileName().startsWith(prefix)) n += i.size();
  return n;
}

void ServerFixture::WriteFile(const std::string& name, const std::string& content) const {
  QFile f(FDir.filePath(QString::fromStdString(name)));
  ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write(content.data(), qint64(content.size())) == qint64(content.size()));
}

std::vector<int64_t> ServerFixture::IncomingSizes() const {
  std::vector<int64_t> out;
  for (const QFileInfo& i : QDir(FDir.filePath(kIncomingFolderName)).entryInfoList(QDir::Files | QDir::Hidden))
    out.push_back(i.size());
  return out;
}

std::vector<std::string> ServerFixture::FolderNames() const {
  std::vector<std::string> out;
  for (const QString& n :
       QDir(FDir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden))
    out.push_back(n.toStdString());
  std::sort(out.begin(), out.end());
  return out;
}

std::string ServerFixture::LogText() const {
  std::string out;
  for (const auto& l : FView.Log) out += "  " + U8(l) + "\n";
  return out;
}

}  // namespace server_test
