#pragma once

#include "Models/Speaker.h"

#include <QWidget>

class QLabel;
class QLineEdit;
class QToolButton;

namespace parlowvista {

// One speaker of the speakers panel: colour dot, name (or the name field while editing),
// the pencil, and "<n> segments, m:ss". Updated in place by the panel; the name field is
// never touched by an update, so typing survives the view model's publishing.
class SpeakerRowView : public QWidget {
  Q_OBJECT

 public:
  explicit SpeakerRowView(QWidget* parent = nullptr);

  void setSpeaker(const Speaker& speaker, qint64 segmentCount, double totalDuration);
  // Opens the field with `name`, or closes it.
  void setEditing(bool editing, const QString& name = {});
  bool isEditing() const { return m_editing; }
  // The pencil is offered only where a rename is taken (not on a translation's tab).
  void setRenamable(bool renamable);

  QLabel* nameLabel() const { return m_name; }
  QLineEdit* nameField() const { return m_field; }
  QToolButton* pencil() const { return m_pencil; }
  QLabel* statsLabel() const { return m_stats; }

  // "%d:%02d" of whole seconds: no hour field (3725 s gives 62:05).
  static QString formatDuration(double seconds);
  static QString statsText(qint64 segmentCount, double totalDuration);

 signals:
  void startEditRequested();
  // Return (true) or Escape (false) in the field.
  void endEditRequested(bool save, const QString& text);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void paintDot();
  QLabel* m_dot = nullptr;
  QLabel* m_name = nullptr;
  QLineEdit* m_field = nullptr;
  QToolButton* m_pencil = nullptr;
  QLabel* m_stats = nullptr;
  bool m_editing = false;
  QColor m_colour;
};

}  // namespace parlowvista
