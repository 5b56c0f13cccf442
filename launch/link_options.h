// The link settings as command-line options (--mss ... --cc), shared by
// udtbench-cli's commands and the server page of the window and the terminal.
#pragma once

#include <QCommandLineOption>
#include <QList>
#include <optional>

#include "link_settings.h"

class QCommandLineParser;

// One option per link setting, named as LinkSettingOptions names them.
struct TLinkOptions {
  // Who the settings are for, for the help ("the server page").
  explicit TLinkOptions(const QString& Whose);
  // Reads the options given into Settings. On a value that cannot be read
  // prints "--NAME: ..." to standard error and returns ecUsage.
  std::optional<int> Read(const QCommandLineParser& Parser, TLinkSettings& Settings) const;

  QList<QCommandLineOption> Options;
};

// Throws, naming the option and UDT4's reason, when UDT4 refused a setting.
void RequireLinkSettings(const std::optional<TSettingRefusal>& Refused);
