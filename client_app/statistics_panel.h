// TStatisticsPanel: the client page's live view of its connection: UDT4's
// monitor twice a second, a plot of the send rate, the last transfer's summary,
// Cancel and "Save statistics…".
#pragma once

#include <QWidget>
#include <optional>
#include <string>

#include "link_statistics.h"

class QChart;
class QLabel;
class QLineSeries;
class QPushButton;
class QTimer;
class QValueAxis;

// The statistics panel. It samples the tracked socket every half second while
// the event loop runs. Main thread only.
class TStatisticsPanel : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kHeight = 236;
  // The plot shows the send rate of this many seconds back.
  static constexpr int kPlotSeconds = 60;

  explicit TStatisticsPanel(QWidget* parent = nullptr);

  // The socket whose connection is shown; it must outlive the panel, or be
  // replaced by nullptr first.
  void Track(const TUDTBaseSocket* Socket) noexcept { FSocket = Socket; }
  // Takes one sample of the tracked socket and shows it; the timer calls it.
  void Tick();
  // Shows how the last file transfer went.
  void ShowSummary(const TTransferSummary& Summary);
  void SetCancelEnabled(bool Enabled);
  // Shows the settings the next Open uses; the connection's own follow once it is made.
  void ShowNextSettings(const TLinkSettings& Settings);
  // Shows the settings of a new connection, read back from UDT4; its CSV
  // carries them when some setting was asked for.
  void ShowSettingsInForce(const TLinkSettingsInForce& Settings);
  // Writes the samples of the current or last connection as CSV to Path; false
  // with a reason when the file cannot be written.
  bool SaveStatistics(const QString& Path, QString* Reason = nullptr) const;
  const TLinkMonitor& Monitor() const noexcept { return FMonitor; }
  // Starts or stops the twice-a-second sampling (on from creation).
  void SetSampling(bool On);

 signals:
  // The operator pressed Cancel.
  void cancelRequested();

 private:
  void Show(const TLinkStatistics& Statistics);
  void AskAndSave();
  void ShowSettingsText();

  const TUDTBaseSocket* FSocket = nullptr;
  TLinkMonitor FMonitor;
  QTimer* FTimer;
  // The counters' value labels, in the order of the table in the .cpp.
  std::vector<QLabel*> FCounters;
  QLabel* FSummary;
  QLabel* FSettingsLabel;
  std::string FNextText;
  std::optional<TLinkSettingsInForce> FInForce;
  QPushButton* FCancel;
  QPushButton* FSave;
  QChart* FChart;
  QLineSeries* FSeries;
  QValueAxis* FAxisX;
  QValueAxis* FAxisY;
};
