// TFileSender: the client's side of a file transfer, one at a time: the file
// request, its reply, the size field, the name frame and the data in pieces,
// with the progress on the client window's gauge and caption.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "client_view.h"
#include "custom_ip_client.h"
#include "exchange_protocol.h"

class TFileStream;

// The user's formatting settings that the client window uses.
struct TFormatSettings {
  char16_t TimeSeparator = u':';
  char16_t DecimalSeparator = u'.';
};

// Sends files over one client connection, driving the client window's view.
// Everything runs on the main thread. The window's events run once after each
// piece, so Stop may be called from a handler while a transfer runs.
class TFileSender {
 public:
  // Where the sender is. A transfer goes Choosing, AwaitingReply, Sending and
  // ends Finished, with its Outcome; it may end from any of them.
  enum class TState {
    Idle,           // no transfer has run yet
    Choosing,       // the file dialog is open
    AwaitingReply,  // the file is open, the request sent, the reply awaited
    Sending,        // the size field, the name frame and the data go out
    Finished        // the last transfer has ended; see Outcome
  };
  // How the last transfer ended.
  enum class TOutcome {
    None,        // no transfer has ended yet, or one is running
    NotStarted,  // the connection was closed or no file was chosen; nothing was sent
    Complete,    // every announced byte was handed to the connection
    SendFailed,  // a send failed; the connection reported it and closed itself
    FileEnded,   // the file held fewer bytes than announced; the connection was closed
    Stopped,     // Stop ended it; the connection was closed
    Cancelled,   // Cancel ended it; the connection was closed at once
    Failed       // an error left the transfer (the file could not be opened...)
  };
  // One piece of data handed to the connection.
  struct TPiece {
    const char* Data;
    int32_t Bytes;  // of this piece
    int32_t Sent;   // of the file so far, this piece included
    int32_t Size;   // announced in the size field
  };

  // How long a connection closed by Stop may still wait for its peer to
  // acknowledge data.
  static constexpr std::chrono::seconds kCloseGrace{2};

  // Client and View must outlive the sender; Settings is read at every transfer.
  TFileSender(TUDTClient& Client, TClientView& View, const TFormatSettings& Settings);
  TFileSender(const TFileSender&) = delete;
  TFileSender& operator=(const TFileSender&) = delete;

  // The SendFile button: asks for a file and sends it. Nothing of the transfer
  // reaches the sent view, and the buttons are disabled while it runs. Throws
  // what opening or reading the file throws, and when the file ends before the
  // announced size (the connection is closed then); the outcome is set either way.
  void Run();
  // Sends the data of Stream (at its start) in pieces, showing the progress;
  // true when every announced byte went.
  bool SendFileData(TFileStream& Stream, int32_t Size);
  // Ends a running transfer before its next unit and closes the connection,
  // bounding its wait for acknowledgements. Does nothing when none runs.
  void Stop();
  // The user's Cancel: ends a running transfer, or the wait for its reply,
  // before its next unit and closes the connection at once, dropping what the
  // peer has not acknowledged. Does nothing when none runs.
  void Cancel();

  TState State() const noexcept { return FState; }
  TOutcome Outcome() const noexcept { return FOutcome; }
  // Pieces of file data are at most Block bytes (1 to kMaxBlock), from the next transfer on.
  int32_t Block() const noexcept { return FBlock; }
  void SetBlock(int32_t Block) noexcept { FBlock = Block; }
  // True from the click until the transfer has ended.
  bool Running() const noexcept { return FState != TState::Idle && FState != TState::Finished; }
  // True while a chosen file is on its way: the buttons are disabled then.
  bool Transferring() const noexcept {
    return FState == TState::AwaitingReply || FState == TState::Sending;
  }

  // Once the chosen file is open, just before the file request goes out,
  // with the file's name.
  std::function<void(const std::u16string& Name)> OnStart;
  // After each piece of data has been handed to the connection.
  std::function<void(const TPiece&)> OnPiece;
  // Once a transfer has ended, with its outcome (after the buttons are back).
  std::function<void(TOutcome)> OnFinished;

  // Stop or Cancel has decided how the running transfer ends.
  bool Stopping() const noexcept {
    return FOutcome == TOutcome::Stopped || FOutcome == TOutcome::Cancelled;
  }

 private:
  // Ends the transfer with Outcome unless Stop decided it first.
  void Decide(TOutcome Outcome) noexcept;
  // Sends the whole buffer, letting window events run while the connection
  // cannot take more; false when a send failed or the transfer was stopped.
  bool SendWhole(const char* p, int32_t n);
  // Waits until the connection can take n bytes, letting window events run
  // meanwhile; false when the transfer was stopped.
  bool WaitWritable(int32_t n);
  void SendChosenFile(const std::u16string& Path);

  TUDTClient& FClient;
  TClientView& FView;
  const TFormatSettings& FSettings;
  TState FState = TState::Idle;
  TOutcome FOutcome = TOutcome::None;
  // Free packets known to be left in the send buffer of connection FRoomHandle,
  // and the data one packet carries.
  int32_t FRoomHandle = -1;
  int32_t FRoomPackets = 0;
  int32_t FRoomPayload = 0;
  int32_t FBlock = protocol::kPieceSize;
  std::vector<char> FPiece;
};
