#pragma once

#include <QDialog>

class QPushButton;

namespace parlowvista {

// Asks how the result of processing the source again is to be stored: as a new version or
// over the current one. It only reports the choice; the window closes it and does the work.
// No button is a default button: Return chooses nothing.
class ReprocessDialog : public QDialog {
  Q_OBJECT

 public:
  explicit ReprocessDialog(QWidget* parent = nullptr);

  QPushButton* newVersionButton() const { return m_newVersion; }
  QPushButton* overwriteButton() const { return m_overwrite; }
  QPushButton* cancelButton() const { return m_cancel; }

 signals:
  void newVersionRequested();
  void overwriteRequested();
  void cancelRequested();

 public slots:
  void reject() override;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  QPushButton* optionButton(const QString& symbol, const QString& title, const QString& subtitle);

  QPushButton* m_newVersion = nullptr;
  QPushButton* m_overwrite = nullptr;
  QPushButton* m_cancel = nullptr;
};

}  // namespace parlowvista
