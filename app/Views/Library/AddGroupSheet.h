#pragma once

#include <QDialog>

class QLineEdit;
class QPushButton;

namespace parlowvista {

// "New Group": a name field, "Cancel" and the default button "Add", which is enabled only
// while the name holds more than spaces and tabs. It reports intents and never closes itself:
// Escape and "Cancel" emit cancelRequested(), "Add" (or Return) emits addRequested(name).
class AddGroupSheet : public QDialog {
  Q_OBJECT
 public:
  explicit AddGroupSheet(QWidget* parent = nullptr);

  QString groupName() const;
  QLineEdit* nameField() const { return m_name; }
  QPushButton* addButton() const { return m_add; }
  QPushButton* cancelButton() const { return m_cancel; }

  void reject() override;

 signals:
  void addRequested(const QString& name);
  void cancelRequested();

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void updateAddButton();

  QLineEdit* m_name;
  QPushButton* m_add;
  QPushButton* m_cancel;
};

}  // namespace parlowvista
