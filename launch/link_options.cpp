#include "link_options.h"

#include <QCommandLineParser>
#include <stdexcept>

#include "bench_options.h"

TLinkOptions::TLinkOptions(const QString& Whose) {
  for (const TLinkSettingOption& o : LinkSettingOptions())
    Options.append(QCommandLineOption(
        QString::fromLatin1(o.Name),
        QStringLiteral("%1 For %2; default %3.")
            .arg(QString::fromUtf8(o.Meaning), Whose, QString::fromUtf8(o.Default)),
        QString::fromLatin1(o.Value)));
}

std::optional<int> TLinkOptions::Read(const QCommandLineParser& Parser, TLinkSettings& Settings) const {
  for (const QCommandLineOption& o : Options) {
    if (!Parser.isSet(o)) continue;
    const std::string name = o.names().first().toStdString();
    const std::string value = Parser.value(o).toStdString();
    std::string error;
    if (!ParseLinkSetting(name, value, Settings, error)) {
      PrintError("--" + name + " " + value + ": " + error + " (see --help)");
      return ecUsage;
    }
  }
  return std::nullopt;
}

void RequireLinkSettings(const std::optional<TSettingRefusal>& Refused) {
  if (Refused) throw std::runtime_error(Refused->Text());
}
