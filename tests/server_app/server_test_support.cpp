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
#include "ports.h"
#include "received_file.h"
#include "sysutils.h"
#include "bytes.h"

namespace server_test {

// ---- RawClient ----

RawClient::RawClient(std::chrono::milliseconds sendBound)
    : FSock(UDT::socket(AF_INET, SOCK_STREAM, 0)) {
  BoundBlockingCalls(FSock.Get());
  const int ms = static_cast<int>(sendBound.count());
  UDT::setsockopt(FSock.Get(), 0, UDT_SNDTIMEO, &ms, sizeof ms);
}

RawClient::~RawClient() { Close(); }

bool RawClient::Connect(uint16_t port) {
  sockaddr_in a = Loopback(port);
  if (UDT::connect(FSock.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
  FLocalPort = LocalPortOf(FSock.Get());
  return true;
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
  auto reply = Exchange(test_support::kFileRequest);
  if (!reply || *reply != protocol::Reply(protocol::kFileRequest)) return false;
  return SendBytes(SizeField(static_cast<int32_t>(data.size())) + Frame(name) + data);
}

bool RawClient::ServerClosed() {
  char c;
  // A receive fails with "connection broken" once the server has closed; a
  // time-out means the connection is still up.
  if (UDT::recv(FSock.Get(), &c, 1, 0) != UDT::ERROR) return false;
  return UDT::getlasterror().getErrorCode() != CUDTException::ETIMEOUT;
}

void RawClient::Close() { FSock.Close(); }

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
