// The server page's and the client page's views for udtbench-cli: the same
// TForm1 and TForm2 run over them, writing to the terminal instead of a window.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench_options.h"
#include "client_view.h"
#include "server_view.h"

class TCliOutput;
class TProgressBar;

// The server page as lines on standard output: each log line is printed, or
// becomes a "log" event with JSON output. The edits hold the listen address.
// Main thread.
class TCliServerView : public IServerView {
 public:
  TCliServerView(TCliOutput& Output, const TListenAddress& Address);

  std::u16string EditText(TServerEdit Which) const override;
  void SetButtonEnabled(TServerButton, bool) override {}
  void AppendLog(const std::u16string& Line) override;
  void AppendLogLine(const TServerLogLine& Line) override;
  // The log has nothing to empty: its lines have been printed.
  void ClearLog() override {}
  void ShowOtherWindows() override {}

 private:
  TCliOutput& FOutput;
  const TListenAddress FAddress;
};

// The client page without a window: the peer's address, the message and the
// file to send are set by the command; the log is kept as lines; the gauge
// drives a progress bar. Main thread.
class TCliClientView : public TClientView {
 public:
  TCliClientView(TCliOutput& Output, std::string Host, std::string Port);
  ~TCliClientView() override;

  // The text the next Send takes from edtContent.
  void SetContent(std::u16string Text) { FContent = std::move(Text); }
  // The file the next SendFile "chooses", and its size for the progress bar.
  void SetFile(std::u16string Path, int64_t Size);
  // The file's transfer is over: the bar goes, the next SendFile chooses nothing.
  void EndFile();
  // The replies that arrived so far, each with its message.
  struct TReply {
    std::u16string Message;
    std::u16string Reply;
  };
  const std::vector<TReply>& Replies() const noexcept { return FReplies; }
  // The descriptions of the connection's failures so far, in order.
  const std::vector<std::u16string>& Failures() const noexcept { return FFailures; }
  // Failures shown by the error display, in order.
  const std::vector<std::u16string>& Errors() const noexcept { return FErrors; }

  std::u16string EditText(TClientEdit which) const override;
  // The log is not shown: its replies and failures come as events.
  void AppendLog(const std::u16string&) override {}
  void ShowReply(const std::u16string& Message, const std::u16string& Reply) override {
    FReplies.push_back({Message, Reply});
  }
  void ShowConnectionError(int32_t, const std::u16string& Description) override {
    FFailures.push_back(Description);
  }
  // The traffic views are not shown.
  void AppendReceived(const std::u16string&) override {}
  void AppendSent(const std::u16string&) override {}
  bool ExecuteOpenDialog(std::u16string& path) override;
  void SetSendFileEnabled(bool) override {}
  void SetConnectionButtonsEnabled(bool) override {}
  void SetGaugeProgress(int value) override;
  void SetGaugeMaxValue(int value) override { FGaugeMax = value; }
  int GaugeProgress() const override { return FGauge; }
  void SetCaption(const std::u16string& text) override { FCaption = text; }
  std::u16string Caption() const override { return FCaption; }
  void ProcessEvents() override;
  void ShowError(const std::u16string& text) override { FErrors.push_back(text); }

 private:
  TCliOutput& FOutput;
  const std::u16string FHost;
  const std::u16string FPort;
  std::u16string FContent;
  std::u16string FFile;
  int64_t FFileSize = 0;
  std::unique_ptr<TProgressBar> FBar;
  std::vector<TReply> FReplies;
  std::vector<std::u16string> FFailures;
  std::vector<std::u16string> FErrors;
  int FGauge = 0;
  int FGaugeMax = 100;
  std::u16string FCaption = u"udt客户端";
};
