#pragma once

#include <QDialog>

namespace parlowvista {

class AppSettings;

// The first-run sheet: what the application does, and "Get Started", which records that
// onboarding is done and closes the sheet. Closed any other way, it returns at the next start.
class OnboardingSheet : public QDialog {
  Q_OBJECT

 public:
  explicit OnboardingSheet(AppSettings& settings, QWidget* parent = nullptr);

 protected:
  // Placed over the middle of the main window, also where no window manager does it.
  void showEvent(QShowEvent* event) override;

 private:
  AppSettings& m_settings;
};

}  // namespace parlowvista
