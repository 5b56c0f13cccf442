// Names a peer may send that must never become a file outside the receive
// folder, nor replace something the folder only links to.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QFile>
#include <filesystem>

#include "server_test_support.h"
#include "bytes.h"

namespace server_test {
namespace {

struct HostileName {
  std::u16string name;
  std::u16string shown;  // as the refusal line names it
};

class FileNames : public ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    ASSERT_TRUE(FOutside.isValid());
    std::filesystem::create_directory(Folder() + "/sub");
    WriteOutside("target.txt", "untouched");
    WriteOutside("hardtarget.txt", "untouched too");
    ASSERT_EQ(::symlink(Outside("target.txt").c_str(), (Folder() + "/link.txt").c_str()), 0);
    ASSERT_EQ(::link(Outside("hardtarget.txt").c_str(), (Folder() + "/hard.txt").c_str()), 0);
  }

  std::string Outside(const std::string& name) const {
    return FOutside.filePath(QString::fromStdString(name)).toStdString();
  }
  void WriteOutside(const std::string& name, const std::string& content) {
    QFile f(QString::fromStdString(Outside(name)));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(content.data(), static_cast<qint64>(content.size()));
  }
  std::string ReadOutside(const std::string& name) const {
    QFile f(QString::fromStdString(Outside(name)));
    return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : "<missing>";
  }

  // Sends one file under name on a new connection, which the server must end;
  // returns the lines of that conversation.
  std::vector<std::u16string> Transfer(const std::u16string& name) {
    RawClient c;
    EXPECT_TRUE(c.Connect(FPort));
    const std::u16string peer = Peer(c);
    const size_t start = FView.Log.size();
    EXPECT_TRUE(c.SendFile(name, "0123456789ABCDEF"));
    EXPECT_TRUE(c.ServerClosed()) << "the conversation went on";
    EXPECT_TRUE(WaitWithEvents([&] {
      return !FView.Log.empty() && FView.Log.back() == peer + u"Work thread Terminated";
    })) << LogText();
    std::vector<std::u16string> lines;
    for (size_t i = start; i < FView.Log.size(); ++i) {
      if (FView.Log[i].rfind(peer, 0) == 0) lines.push_back(FView.Log[i].substr(peer.size()));
    }
    return lines;
  }

  QTemporaryDir FOutside;
};

TEST_F(FileNames, HostileNamesAreRefusedAndNothingIsWritten) {
  const std::string escape = "escape-" + std::to_string(FPort) + ".txt";
  const std::u16string own =
      U16(std::filesystem::read_symlink("/proc/self/exe").filename().string());
  const std::vector<HostileName> names = {
      {u"", u""},
      {u".", u"."},
      {u"..", u".."},
      {u"../" + U16(escape), u"../" + U16(escape)},
      {u"sub/inner.txt", u"sub/inner.txt"},
      {U16(Outside("abs.txt")), U16(Outside("abs.txt"))},
      {u"..\\" + U16(escape), u"..\\" + U16(escape)},
      {u"a\\b.txt", u"a\\b.txt"},
      {u"line\nbreak.txt", u"line\\x0Abreak.txt"},
      {u"tab\t.txt", u"tab\\x09.txt"},
      {std::u16string(u"nul\0mid.txt", 11), u"nul\\x00mid.txt"},
      {u"del\x7f.txt", u"del\\x7F.txt"},
      {u"c1\x85.txt", u"c1\\x85.txt"},
      {own, own},
      {u".udtbench-incoming", u".udtbench-incoming"},
      {u"link.txt", u"link.txt"},
      {u"hard.txt", u"hard.txt"},
  };
  for (const HostileName& h : names) {
    SCOPED_TRACE(U8(h.shown));
    const auto lines = Transfer(h.name);
    ASSERT_EQ(lines.size(), 4u) << LogText();
    EXPECT_EQ(lines[0], u"Accpet connection");
    EXPECT_EQ(lines[1], test_support::kFileRequest);
    EXPECT_EQ(lines[2].rfind(u"Refused file \"" + h.shown + u"\": ", 0), 0u) << U8(lines[2]);
    EXPECT_EQ(lines[3], u"Work thread Terminated");
  }
  EXPECT_EQ(FolderNames(), (std::vector<std::string>{"hard.txt", "link.txt", "sub"}));
  EXPECT_TRUE(std::filesystem::is_empty(Folder() + "/sub"));
  EXPECT_TRUE(std::filesystem::is_symlink(Folder() + "/link.txt"));
  EXPECT_EQ(ReadOutside("target.txt"), "untouched");
  EXPECT_EQ(ReadOutside("hardtarget.txt"), "untouched too");
  EXPECT_FALSE(std::filesystem::exists(Outside("abs.txt")));
  EXPECT_FALSE(std::filesystem::exists(Folder() + "/../" + escape));
}

TEST_F(FileNames, NameOfAFolderEndsTheConversationWithoutSayingWhy) {
  const auto lines = Transfer(u"sub");
  EXPECT_EQ(lines, (std::vector<std::u16string>{u"Accpet connection", test_support::kFileRequest,
                                                u"Work thread Terminated"}));
  EXPECT_TRUE(std::filesystem::is_directory(Folder() + "/sub"));
}

TEST_F(FileNames, NameLockedByAnotherProcessIsNotEmptied) {
  // Stands in for another process's exclusive lock: a second open of the file in this
  // process conflicts the same way.
  const std::string path = Folder() + "/locked.txt";
  {
    QFile f(QString::fromStdString(path));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("keep me");
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_NE(fd, -1);
  ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  const auto lines = Transfer(u"locked.txt");
  ::close(fd);
  EXPECT_EQ(lines.size(), 3u);
  EXPECT_EQ(ReadFile("locked.txt"), "keep me");
}

}  // namespace
}  // namespace server_test
