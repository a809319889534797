#pragma once

#include <QAbstractButton>

class QLabel;
class QLineEdit;

namespace parlowvista {

class Transcription;

// One tab of the versions bar: the version's name (after a globe for a translation, which is
// also named "Translation <name>" to a screen reader), or while renaming a field that takes
// the focus. Return in the field commits, Escape cancels; leaving the field does neither.
// A click (or Space, or Return) selects; the context menu offers "Rename" and "Delete". A button,
// so that it is a control to the keyboard and to a screen reader; it draws its own face.
class VersionTab : public QAbstractButton {
  Q_OBJECT

 public:
  explicit VersionTab(Transcription* transcription, QWidget* parent = nullptr);

  Transcription* transcription() const { return m_transcription; }
  void setSelected(bool selected);
  bool isSelected() const { return m_selected; }
  // Shows the field with `name` (or the label); the field takes the focus when it opens.
  void setEditing(bool editing, const QString& name = {});
  bool isEditing() const { return m_editing; }
  QLineEdit* nameField() const { return m_field; }
  QLabel* nameLabel() const { return m_label; }
  // Shows the version's current name again.
  void refreshName();

 signals:
  void selectRequested();
  void renameRequested();
  void deleteRequested();
  void commitRequested(const QString& text);
  void cancelRequested();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void applyLook();

  Transcription* m_transcription;
  QLabel* m_globe = nullptr;
  QLabel* m_label = nullptr;
  QLineEdit* m_field = nullptr;
  bool m_selected = false;
  bool m_editing = false;
};

}  // namespace parlowvista
