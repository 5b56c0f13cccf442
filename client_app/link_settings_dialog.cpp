#include "link_settings_dialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

TLinkSettingsDialog::TLinkSettingsDialog(QWidget* Parent, const TLinkSettings& Settings)
    : QDialog(Parent), FSettings(Settings) {
  setObjectName(QStringLiteral("LinkSettingsDialog"));
  setWindowTitle(QStringLiteral("Link settings"));
  auto* form = new QFormLayout;
  for (const TLinkSettingOption& o : LinkSettingOptions()) {
    auto* edit = new QLineEdit(QString::fromStdString(LinkSettingText(o.Name, Settings)));
    edit->setObjectName(QStringLiteral("edt_%1").arg(QString::fromLatin1(o.Name)));
    edit->setPlaceholderText(QStringLiteral("default: %1").arg(QString::fromUtf8(o.Default)));
    edit->setToolTip(QString::fromUtf8(o.Meaning));
    form->addRow(QStringLiteral("%1 (%2)").arg(QString::fromLatin1(o.Name), QString::fromLatin1(o.Value)),
                 edit);
    FEdits.push_back(edit);
  }
  FProblem = new QLabel;
  FProblem->setObjectName(QStringLiteral("Problem"));
  FProblem->setWordWrap(true);
  auto* note = new QLabel(QStringLiteral("Sizes take K, M, KiB, MiB; rates are Mbit/s. "
                                         "The settings apply from the next Open."));
  note->setWordWrap(true);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, this, &TLinkSettingsDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &TLinkSettingsDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(note);
  layout->addWidget(FProblem);
  layout->addWidget(buttons);
}

void TLinkSettingsDialog::accept() {
  TLinkSettings read;
  const auto& options = LinkSettingOptions();
  for (size_t i = 0; i < options.size(); ++i) {
    const std::string text = FEdits[i]->text().trimmed().toStdString();
    std::string error;
    if (!text.empty() && !ParseLinkSetting(options[i].Name, text, read, error)) {
      FProblem->setText(QStringLiteral("%1: %2").arg(QString::fromLatin1(options[i].Name),
                                                      QString::fromStdString(error)));
      FEdits[i]->setFocus();
      return;
    }
  }
  FSettings = read;
  QDialog::accept();
}

bool TLinkSettingsDialog::Edit(QWidget* Parent, TLinkSettings& Settings) {
  TLinkSettingsDialog dialog(Parent, Settings);
  if (dialog.exec() != QDialog::Accepted) return false;
  Settings = dialog.Settings();
  return true;
}
