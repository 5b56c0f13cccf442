#include "cli_views.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonObject>
#include <algorithm>

#include "cli_output.h"
#include "sysutils.h"

TCliServerView::TCliServerView(TCliOutput& Output, const TListenAddress& Address)
    : FOutput(Output), FAddress(Address) {}

std::u16string TCliServerView::EditText(TServerEdit Which) const {
  const std::string text =
      Which == edtIP ? (FAddress.Host.empty() ? std::string("0.0.0.0") : FAddress.Host)
                     : std::to_string(FAddress.Port);
  return std::u16string(text.begin(), text.end());
}

void TCliServerView::AppendLog(const std::u16string& Line) { AppendLogLine({{}, {}, Line, false}); }

void TCliServerView::AppendLogLine(const TServerLogLine& Line) {
  const QString line = QString::fromStdU16String(Line.Line());
  FOutput.Line(line.toStdString());
  if (!FOutput.Json()) return;
  QJsonObject event{{"event", "log"},
                    {"time", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
                    {"line", line}};
  if (Line.FromPeer) {
    event["peer"] = QString::fromStdU16String(Line.Host + u":" + Line.Port);
    event["text"] = QString::fromStdU16String(Line.Text);
  }
  FOutput.Event(event);
}

TCliClientView::TCliClientView(TCliOutput& Output, std::string Host, std::string Port)
    : FOutput(Output), FHost(Host.begin(), Host.end()), FPort(Port.begin(), Port.end()) {}

TCliClientView::~TCliClientView() = default;

void TCliClientView::SetFile(std::u16string Path, int64_t Size) {
  FFile = std::move(Path);
  FFileSize = Size;
}

void TCliClientView::EndFile() {
  FBar.reset();
  FFile.clear();
}

std::u16string TCliClientView::EditText(TClientEdit which) const {
  switch (which) {
    case TClientEdit::Edit3:
      return FHost;
    case TClientEdit::Edit2:
      return FPort;
    case TClientEdit::edtContent:
      break;
  }
  return FContent;
}

bool TCliClientView::ExecuteOpenDialog(std::u16string& path) {
  if (FFile.empty()) return false;
  path = FFile;
  const size_t slash = FFile.find_last_of(u'/');
  FBar = std::make_unique<TProgressBar>(
      FOutput, Utf16ToUtf8(slash == std::u16string::npos ? FFile : FFile.substr(slash + 1)),
      FFileSize);
  return true;
}

void TCliClientView::SetGaugeProgress(int value) {
  FGauge = std::clamp(value, 0, FGaugeMax);
  if (!FBar) return;
  FBar->Show(FGaugeMax > 0 ? FGauge * 100 / FGaugeMax : 0);
  if (FGauge >= FGaugeMax) FBar.reset();
}

void TCliClientView::ProcessEvents() { QCoreApplication::processEvents(); }
