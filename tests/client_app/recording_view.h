// A client view over plain strings and flags that records everything the client
// logic does to its window, for tests that drive the handlers directly.
#pragma once

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "client_view.h"

namespace client_test {

class RecordingView : public TClientView {
 public:
  std::u16string Edit3 = u"127.0.0.1";
  std::u16string Edit2 = u"2048";
  std::u16string edtContent = u"edtContent";
  std::vector<std::u16string> Log;
  std::vector<std::u16string> Received;  // one entry per appended piece
  std::vector<std::u16string> Sent;
  // What the file dialog answers: a path, or nothing for a cancel.
  std::optional<std::u16string> DialogAnswer;
  int DialogRuns = 0;
  bool SendFileEnabled = true;
  bool ConnectionButtonsEnabled = true;
  std::vector<bool> SendFileStates;  // every enable or disable, in order
  int Progress = 0;
  int MaxValue = 100;
  std::vector<int> ProgressSets;
  std::u16string CaptionText = u"udt客户端";
  std::vector<std::u16string> Captions;
  int EventPasses = 0;
  // Runs inside each pass of ProcessEvents, with the pass number (1-based).
  std::function<void(int)> OnEvents;
  std::vector<std::u16string> Errors;

  std::u16string EditText(TClientEdit which) const override {
    switch (which) {
      case TClientEdit::Edit3: return Edit3;
      case TClientEdit::Edit2: return Edit2;
      case TClientEdit::edtContent: return edtContent;
    }
    return {};
  }
  void AppendLog(const std::u16string& line) override { Log.push_back(line); }
  void AppendReceived(const std::u16string& text) override { Received.push_back(text); }
  void AppendSent(const std::u16string& text) override { Sent.push_back(text); }
  bool ExecuteOpenDialog(std::u16string& path) override {
    ++DialogRuns;
    if (!DialogAnswer) return false;
    path = *DialogAnswer;
    return true;
  }
  void SetSendFileEnabled(bool enabled) override {
    SendFileEnabled = enabled;
    SendFileStates.push_back(enabled);
  }
  void SetConnectionButtonsEnabled(bool enabled) override { ConnectionButtonsEnabled = enabled; }
  void SetGaugeProgress(int value) override {
    Progress = std::clamp(value, 0, MaxValue);
    ProgressSets.push_back(Progress);
  }
  void SetGaugeMaxValue(int value) override {
    MaxValue = value;
    Progress = std::clamp(Progress, 0, MaxValue);
  }
  int GaugeProgress() const override { return Progress; }
  void SetCaption(const std::u16string& text) override {
    CaptionText = text;
    Captions.push_back(text);
  }
  std::u16string Caption() const override { return CaptionText; }
  void ProcessEvents() override {
    ++EventPasses;
    if (OnEvents) OnEvents(EventPasses);
  }
  void ShowError(const std::u16string& text) override { Errors.push_back(text); }
  // What the "Link settings…" dialog answers; empty: it is cancelled.
  std::optional<TLinkSettings> LinkSettingsAnswer;
  std::vector<TLinkSettingsInForce> InForce;  // every connection's, in order
  bool ExecuteLinkSettingsDialog(TLinkSettings& settings) override {
    if (!LinkSettingsAnswer) return false;
    settings = *LinkSettingsAnswer;
    return true;
  }
  void ShowSettingsInForce(const TLinkSettingsInForce& settings) override { InForce.push_back(settings); }

  std::u16string AllReceived() const { return Join(Received); }
  std::u16string AllSent() const { return Join(Sent); }

 private:
  static std::u16string Join(const std::vector<std::u16string>& parts) {
    std::u16string all;
    for (const auto& p : parts) all += p;
    return all;
  }
};

}  // namespace client_test
