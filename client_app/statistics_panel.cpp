#include "statistics_panel.h"

#include <QChart>
#include <QChartView>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineSeries>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <QValueAxis>
#include <algorithm>
#include <sstream>

#include "statistics_text.h"

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

// A counter of the grid: where it stands, its name and tooltip, and its text for
// the newest sample of a connection.
struct TCounter {
  int Row, Column, Span;
  const char* Name;
  const char* ObjectName;
  const char* Meaning;
  QString (*Text)(const TLinkSample& s, const TLinkStatistics& Statistics);
};

// A packet count in whole digits (a double's text turns seven digits into 1.23457e+06).
QString Count(int64_t v) { return QString::number(static_cast<qlonglong>(v)); }

const TCounter kCounters[] = {
    {0, 0, 1, "Send rate", "SendRate",
     "Data sent over the last half second, retransmissions included, in Mb/s.",
     [](const TLinkSample& s, const TLinkStatistics&) { return Q(FixedText(s.SendMbps, 1)); }},
    {0, 2, 1, "Receive rate", "ReceiveRate", "Data received over the last half second, in Mb/s.",
     [](const TLinkSample& s, const TLinkStatistics&) { return Q(FixedText(s.ReceiveMbps, 1)); }},
    {1, 0, 3, "RTT ms", "Rtt",
     "Round-trip time: UDT's smoothed estimate of how long a packet and its "
     "acknowledgement take, in ms. Now, then the minimum, average and maximum of "
     "the half-second samples of this connection.",
     [](const TLinkSample& s, const TLinkStatistics& st) { return Q(RangeText(s.RttMs, st.Rtt(), 3)); }},
    {2, 0, 3, "Bandwidth Mb/s", "Bandwidth",
     "UDT's estimate of the link's capacity, from pairs of packets sent back "
     "to back, in Mb/s. Now, then min / avg / max over this connection.",
     [](const TLinkSample& s, const TLinkStatistics& st) {
       return Q(RangeText(s.BandwidthMbps, st.Bandwidth(), 1));
     }},
    {3, 0, 1, "Packets sent", "PacketsSent",
     "Data packets sent since the connection began, each retransmission "
     "counted again.",
     [](const TLinkSample& s, const TLinkStatistics&) { return Count(s.PacketsSent); }},
    {3, 2, 1, "Packets received", "PacketsReceived", "Data packets received since the connection began.",
     [](const TLinkSample& s, const TLinkStatistics&) { return Count(s.PacketsReceived); }},
    {4, 0, 1, "Retransmitted", "Retransmitted",
     "Data packets this side sent again because the peer reported them "
     "missing or their acknowledgement was late. One lost packet may be "
     "retransmitted several times; a retransmitted packet need not have "
     "been lost.",
     [](const TLinkSample& s, const TLinkStatistics&) { return Count(s.Retransmitted); }},
    {4, 2, 1, "In flight", "InFlight", "Packets sent and not yet acknowledged by the peer.",
     [](const TLinkSample& s, const TLinkStatistics&) { return QString::number(s.InFlight); }},
    {5, 0, 1, "Send loss", "SendLoss",
     "Packets the peer reported missing (by NAK) since the connection began: "
     "losses on the way out, each counted once however often it is resent.",
     [](const TLinkSample& s, const TLinkStatistics&) { return Count(s.SendLoss); }},
    {5, 2, 1, "Receive loss", "ReceiveLoss",
     "Packets this side found missing in the sequence it received since "
     "the connection began: losses on the way in.",
     [](const TLinkSample& s, const TLinkStatistics&) { return Count(s.ReceiveLoss); }},
    {6, 0, 1, "Flow window", "FlowWindow", "Packets the receiver said it can still take.",
     [](const TLinkSample& s, const TLinkStatistics&) { return QString::number(s.FlowWindow); }},
    {6, 2, 1, "Congestion window", "CongestionWindow",
     "Packets the congestion control lets be in flight at once.",
     [](const TLinkSample& s, const TLinkStatistics&) { return QString::number(s.CongestionWindow); }},
};

}  // namespace

TStatisticsPanel::TStatisticsPanel(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("StatisticsPanel"));
  auto* grid = new QGridLayout;
  grid->setContentsMargins(0, 0, 0, 0);
  grid->setHorizontalSpacing(6);
  grid->setVerticalSpacing(2);
  for (const TCounter& c : kCounters) {
    auto* caption = new QLabel(QString::fromUtf8(c.Name));
    auto* value = new QLabel(QStringLiteral("-"));
    value->setObjectName(c.ObjectName);
    value->setToolTip(QString::fromUtf8(c.Meaning));
    caption->setToolTip(value->toolTip());
    grid->addWidget(caption, c.Row, c.Column);
    grid->addWidget(value, c.Row, c.Column + 1, 1, c.Span);
    FCounters.push_back(value);
  }

  FSummary = new QLabel(QStringLiteral("No transfer yet."));
  FSummary->setObjectName(QStringLiteral("TransferSummary"));
  FSummary->setTextInteractionFlags(Qt::TextSelectableByMouse);
  FSummary->setToolTip(QStringLiteral(
      "The last file transfer: bytes sent, time, average rate, packets retransmitted and "
      "lost during it, the SHA-256 of the bytes sent, and how it ended."));

  FSettingsLabel = new QLabel;
  FSettingsLabel->setObjectName(QStringLiteral("LinkSettings"));
  FSettingsLabel->setWordWrap(true);
  // Room for the settings in force from the start, so the page's controls do
  // not move when a connection opens.
  FSettingsLabel->setMinimumHeight(4 * FSettingsLabel->fontMetrics().lineSpacing());
  FSettingsLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  FSettingsLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
  FSettingsLabel->setToolTip(QStringLiteral(
      "The link settings of the connection, read back from UDT4 once it was made (the MSS is the "
      "smaller of the two ends'), and those the next Open uses (\"Link settings…\")."));
  ShowNextSettings({});

  FCancel = new QPushButton(QStringLiteral("Cancel"));
  FCancel->setObjectName(QStringLiteral("btnCancel"));
  FCancel->setToolTip(QStringLiteral("Stops the transfer or the wait for the peer and closes the connection (Esc)."));
  FCancel->setEnabled(false);
  FSave = new QPushButton(QStringLiteral("Save statistics…"));
  FSave->setObjectName(QStringLiteral("btnSaveStatistics"));
  FSave->setToolTip(QStringLiteral("Writes the half-second samples of this or the last connection as CSV."));
  connect(FCancel, &QPushButton::clicked, this, &TStatisticsPanel::cancelRequested);
  connect(FSave, &QPushButton::clicked, this, [this] { AskAndSave(); });
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(FCancel);
  buttons->addWidget(FSave);
  buttons->addStretch();

  auto* left = new QVBoxLayout;
  left->addLayout(grid);
  left->addWidget(FSummary);
  left->addWidget(FSettingsLabel);
  left->addStretch();
  left->addLayout(buttons);

  FSeries = new QLineSeries;
  FSeries->setName(QStringLiteral("Send rate, Mb/s"));
  FChart = new QChart;
  FChart->addSeries(FSeries);
  FChart->legend()->setVisible(false);
  FChart->setTitle(QStringLiteral("Send rate, Mb/s, last 60 s"));
  FChart->setMargins(QMargins(0, 0, 0, 0));
  FAxisX = new QValueAxis;
  FAxisX->setRange(-kPlotSeconds, 0);
  FAxisX->setLabelFormat(QStringLiteral("%d s"));
  FAxisY = new QValueAxis;
  FAxisY->setRange(0, 1);
  FAxisY->setLabelFormat(QStringLiteral("%.0f"));
  FChart->addAxis(FAxisX, Qt::AlignBottom);
  FChart->addAxis(FAxisY, Qt::AlignLeft);
  FSeries->attachAxis(FAxisX);
  FSeries->attachAxis(FAxisY);
  auto* view = new QChartView(FChart);
  view->setObjectName(QStringLiteral("ThroughputPlot"));
  view->setRenderHint(QPainter::Antialiasing);
  view->setMinimumSize(240, 150);

  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addLayout(left, 1);
  layout->addWidget(view, 1);

  FTimer = new QTimer(this);
  FTimer->setInterval(static_cast<int>(TLinkMonitor::kInterval.count()));
  connect(FTimer, &QTimer::timeout, this, [this] { Tick(); });
  FTimer->start();
}

void TStatisticsPanel::Tick() {
  if (!FSocket || !FMonitor.Tick(*FSocket)) return;
  Show(FMonitor.Statistics());
}

void TStatisticsPanel::Show(const TLinkStatistics& Statistics) {
  const std::vector<TLinkSample>& samples = Statistics.Samples();
  if (samples.empty()) return;
  const TLinkSample& s = samples.back();
  for (size_t i = 0; i < FCounters.size(); ++i) FCounters[i]->setText(kCounters[i].Text(s, Statistics));

  // The plot counts seconds back from the newest sample.
  QList<QPointF> points;
  double top = 1;
  for (auto it = samples.rbegin(); it != samples.rend(); ++it) {
    const double back = it->Seconds - s.Seconds;
    if (back < -kPlotSeconds) break;
    points.prepend(QPointF(back, it->SendMbps));
    top = std::max(top, it->SendMbps);
  }
  FSeries->replace(points);
  FAxisY->setRange(0, top * 1.1);
}

void TStatisticsPanel::ShowSummary(const TTransferSummary& Summary) {
  FSummary->setText(Q(SummaryText(Summary)));
  if (Summary.Settings) ShowSettingsInForce(*Summary.Settings);
}

void TStatisticsPanel::SetCancelEnabled(bool Enabled) { FCancel->setEnabled(Enabled); }

void TStatisticsPanel::ShowNextSettings(const TLinkSettings& Settings) {
  const std::string line = LinkSettingsLine(Settings);
  FNextText = line.empty() ? "defaults" : line;
  ShowSettingsText();
}

void TStatisticsPanel::ShowSettingsInForce(const TLinkSettingsInForce& Settings) {
  FInForce = Settings;
  ShowSettingsText();
}

void TStatisticsPanel::ShowSettingsText() {
  std::string text = FInForce ? "Link: " + LinkSettingsText(*FInForce) + "\n" : std::string();
  FSettingsLabel->setText(Q(text + "Next Open: " + FNextText));
}

bool TStatisticsPanel::SaveStatistics(const QString& Path, QString* Reason) const {
  std::ostringstream csv;
  // Without settings of its own a connection's CSV stays as it always was.
  if (FInForce && FInForce->Asked)
    WriteSamplesCsv(csv, FMonitor.Statistics().Samples(), *FInForce);
  else
    WriteSamplesCsv(csv, FMonitor.Statistics().Samples());
  const std::string text = csv.str();
  QFile file(Path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
      file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size())) {
    if (Reason) *Reason = file.errorString();
    return false;
  }
  return true;
}

void TStatisticsPanel::AskAndSave() {
  const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save statistics"),
                                                    QStringLiteral("udt-statistics.csv"),
                                                    QStringLiteral("CSV (*.csv)"), nullptr,
                                                    QFileDialog::DontUseNativeDialog);
  if (path.isEmpty()) return;
  QString reason;
  if (!SaveStatistics(path, &reason))
    QMessageBox::critical(this, QStringLiteral("Save statistics"),
                          QStringLiteral("Cannot write %1: %2").arg(path, reason));
}

void TStatisticsPanel::SetSampling(bool On) {
  if (On)
    FTimer->start();
  else
    FTimer->stop();
}
