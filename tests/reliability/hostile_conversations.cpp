#include "hostile_conversations.h"

#include <climits>
#include <iterator>
#include <random>

#include "hostile_peer.h"
#include "bytes.h"

namespace reliability_test {

namespace {


std::string RandomBytes(std::mt19937& r, size_t n) {
  std::string out(n, '\0');
  for (auto& c : out) c = static_cast<char>(r() & 0xFF);
  return out;
}

// Names a peer may send; the server must store none of them outside its folder.
std::u16string HostileName(std::mt19937& r, const std::string& escapeTarget) {
  static const std::u16string fixed[] = {
      u"", u".", u"..", u"../escape.txt", u"../../escape.txt", u"..\\escape.txt", u"a/b",
      u"sub/../../escape.txt", u"\x01" u"ctl", u"tab\tname", u"new\nline", u"del\x7F",
      u"\xD800half-surrogate", u"nul\0inside", u" ", u"*?<>|", u"con", u"aux.txt",
      u"\x202E" u"txt.exe", u"/", u"\\"};
  const size_t pick = r() % (std::size(fixed) + 3);
  if (pick < std::size(fixed)) return fixed[pick];
  if (pick == std::size(fixed)) return std::u16string(escapeTarget.begin(), escapeTarget.end());  // an absolute path
  if (pick == std::size(fixed) + 1) return std::u16string(300 + r() % 4000, u'n');  // too long
  return u"../" + std::u16string(1 + r() % 8, u'x');
}

int32_t OddSize(std::mt19937& r) {
  static const int32_t sizes[] = {INT32_MIN, -1, 0, 1, 2047, 2048, 2049, 65536, INT32_MAX,
                                  INT32_MAX - 1, 1 << 30};
  if (r() % 3 == 0) return static_cast<int32_t>(r());
  return sizes[r() % std::size(sizes)];
}

int32_t ExtremeCount(std::mt19937& r) {
  static const int32_t counts[] = {INT32_MIN, -1, -2, 0, 1, 32767, 65535, (1 << 29) + 1,
                                   (1 << 30) - 1, 1 << 30, INT32_MAX};
  if (r() % 3 == 0) return static_cast<int32_t>(r());
  return counts[r() % std::size(counts)];
}

}  // namespace

TConversationOutcome RunHostileConversation(int index, uint16_t port, const std::string& escapeTarget) {
  std::mt19937 r(static_cast<uint32_t>(index) * 2654435761u + 17);
  TConversationOutcome out;
  THostilePeer peer;
  out.Connected = peer.Connect(port);
  if (!out.Connected) {
    out.Failure = "no connection, UDT4 error " + std::to_string(peer.ConnectError());
    return out;
  }
  const bool vanish = r() % 2 == 0;
  switch (r() % 10) {
    case 0:  // connect and close at once
      break;
    case 1:  // random bytes
      peer.Send(RandomBytes(r, r() % 4096));
      break;
    case 2: {  // a frame with an extreme count, cut short or not
      const int32_t n = ExtremeCount(r);
      std::string body = RandomBytes(r, r() % 512);
      if (n >= 0 && n < 32768 && r() % 2) body = RandomBytes(r, 2 * static_cast<size_t>(n));
      peer.Send(WireInt32(n) + body);
      break;
    }
    case 3: {  // a good frame cut short inside its count or its text
      std::string frame = WireFrame(u"cut " + std::u16string(r() % 200, u'c'));
      peer.Send(frame.substr(0, r() % frame.size()));
      break;
    }
    case 4: {  // file request with a hostile name and an odd size
      std::string bytes = WireFrame(test_support::kFileRequest) + WireInt32(OddSize(r)) +
                          WireFrame(HostileName(r, escapeTarget)) + RandomBytes(r, r() % 8192);
      peer.Send(bytes);
      break;
    }
    case 5: {  // file request whose name frame has an extreme count
      peer.Send(WireFrame(test_support::kFileRequest) + WireInt32(OddSize(r)) + WireInt32(ExtremeCount(r)) +
                RandomBytes(r, r() % 1024));
      break;
    }
    case 6: {  // a good file, cut off in the middle of its data
      const int32_t size = 1 + static_cast<int32_t>(r() % 65536);
      std::string name = "cut-" + std::to_string(index) + ".bin";
      std::string data = RandomBytes(r, static_cast<size_t>(size));
      peer.Send(WireFrame(test_support::kFileRequest) + WireInt32(size) + WireFrame(std::u16string(name.begin(), name.end())) +
                data.substr(0, r() % static_cast<size_t>(size)));
      break;
    }
    case 7: {  // a whole file, then one more message, then a proper close
      const int32_t size = static_cast<int32_t>(r() % 20000);
      out.StoredName = "whole-" + std::to_string(index) + ".bin";
      out.StoredData = RandomBytes(r, static_cast<size_t>(size));
      const std::string bytes = WireFrame(test_support::kFileRequest) + WireInt32(size) +
                                WireFrame(std::u16string(out.StoredName.begin(), out.StoredName.end())) + out.StoredData +
                                WireFrame(u"done");
      if (!peer.Send(bytes)) out.StoredName.clear();
      // The reply to "done" says the file is complete; without it no claim is made.
      const std::string expect = WireFrame(protocol::Reply(protocol::kFileRequest)) + WireFrame(protocol::Reply(u"done"));
      if (peer.Receive(expect.size(), 10000) != expect) {
        out.Failure = "no reply after a whole file";
        out.StoredName.clear();
      }
      peer.Close();
      return out;
    }
    case 8: {  // good messages, then garbage, replies never read
      std::string bytes;
      for (int i = 0, n = static_cast<int>(r() % 5); i < n; ++i)
        bytes += WireFrame(u"m" + std::u16string(r() % 64, u'z'));
      peer.Send(bytes + RandomBytes(r, r() % 256));
      break;
    }
    default: {  // frame text that is not valid UTF-16, replies read back
      std::u16string text;
      for (int i = 0, n = static_cast<int>(r() % 64); i < n; ++i)
        text.push_back(static_cast<char16_t>(r() & 0xFFFF));
      peer.Send(WireFrame(text));
      const std::string reply = peer.Receive(4 + 2 * (text.size() + 5), 10000);
      if (reply != WireFrame(protocol::Reply(text)))
        out.Failure = "wrong reply to a text that is not valid UTF-16";
      break;
    }
  }
  if (vanish) peer.Vanish();
  else peer.Close();
  return out;
}

}  // namespace reliability_test
