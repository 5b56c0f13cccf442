// TLinkSettingsDialog: the client page's "Link settings…" dialog, one edit per
// link setting; a value that cannot be read is shown in the dialog itself.
#pragma once

#include <QDialog>
#include <vector>

#include "link_settings.h"

class QLabel;
class QLineEdit;

// The dialog. Main thread only.
class TLinkSettingsDialog : public QDialog {
  Q_OBJECT

 public:
  // Edits filled from Settings; an empty edit keeps the setting's default.
  TLinkSettingsDialog(QWidget* Parent, const TLinkSettings& Settings);
  // What the edits hold once the dialog was accepted.
  const TLinkSettings& Settings() const noexcept { return FSettings; }
  // Runs the dialog modally; true with Settings changed when the operator
  // pressed OK. The dialog is destroyed before it returns.
  static bool Edit(QWidget* Parent, TLinkSettings& Settings);

 public slots:
  // OK: reads every edit; stays open, saying which setting is wrong, on a bad value.
  void accept() override;

 private:
  std::vector<QLineEdit*> FEdits;  // in the order of LinkSettingOptions
  QLabel* FProblem;
  TLinkSettings FSettings;
};
