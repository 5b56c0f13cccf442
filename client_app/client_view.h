// TClientView: what the client window's logic needs of its window, so the same
// handlers run behind the Qt window, a recording view in tests, or a terminal.
#pragma once

#include <cstdint>
#include <string>

#include "link_settings.h"
#include "link_statistics.h"

// The single-line edits the client logic reads.
enum class TClientEdit { Edit3, Edit2, edtContent };

// The view operations of the client window. Main thread only.
class TClientView {
 public:
  TClientView() = default;
  TClientView(const TClientView&) = delete;
  TClientView& operator=(const TClientView&) = delete;
  virtual ~TClientView() = default;

  // The current text of one edit.
  virtual std::u16string EditText(TClientEdit which) const = 0;
  // Adds a line at the end of the log Memo1.
  virtual void AppendLog(const std::u16string& line) = 0;
  // Appends text to the received view Memo2 (no separator); constant time per call.
  virtual void AppendReceived(const std::u16string& text) = 0;
  // Appends text to the sent view Memo3 (no separator); constant time per call.
  virtual void AppendSent(const std::u16string& text) = 0;
  // Runs the modal file-open dialog; true with the chosen file's full path.
  virtual bool ExecuteOpenDialog(std::u16string& path) = 0;
  // Enables or disables btnSendFile.
  virtual void SetSendFileEnabled(bool enabled) = 0;
  // Enables or disables Open, Close and Send together.
  virtual void SetConnectionButtonsEnabled(bool enabled) = 0;
  // Gauge1: the position, clamped to 0..MaxValue like the gauge does.
  virtual void SetGaugeProgress(int value) = 0;
  virtual void SetGaugeMaxValue(int value) = 0;
  virtual int GaugeProgress() const = 0;
  // The window's caption.
  virtual void SetCaption(const std::u16string& text) = 0;
  virtual std::u16string Caption() const = 0;
  // Lets every pending window event run once, then returns.
  virtual void ProcessEvents() = 0;
  // Shows a failure to the operator (the default error display).
  virtual void ShowError(const std::u16string& text) = 0;
  // Enables Cancel while a transfer or a wait for the peer runs; a view
  // without one ignores it.
  virtual void SetCancelEnabled(bool) {}
  // Shows how a file transfer ended, whatever ended it.
  virtual void ShowTransferSummary(const TTransferSummary&) {}
  // The reply to a message arrived; a view that shows only the log adds the reply to it.
  virtual void ShowReply(const std::u16string& /*Message*/, const std::u16string& Reply) {
    AppendLog(Reply);
  }
  // A call on the connection failed with UDT's error; a view that shows only
  // the log adds the description to it.
  virtual void ShowConnectionError(int32_t /*Code*/, const std::u16string& Description) {
    AppendLog(Description);
  }
  // Runs the modal "Link settings…" dialog over Settings; true with the values
  // the operator accepted. The dialog and its popups are gone when it returns.
  // A view without one keeps the settings.
  virtual bool ExecuteLinkSettingsDialog(TLinkSettings&) { return false; }
  // Shows the settings the next Open will use.
  virtual void ShowNextLinkSettings(const TLinkSettings&) {}
  // Shows the settings a new connection has, read back from UDT4.
  virtual void ShowSettingsInForce(const TLinkSettingsInForce&) {}
};
