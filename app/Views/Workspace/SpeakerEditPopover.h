#pragma once

#include "Models/Speaker.h"

#include <QFrame>
#include <QList>

#include <optional>

class QCheckBox;
class QLineEdit;
class QPushButton;
class QVBoxLayout;

namespace parlowvista {

// The small panel a row's speaker badge opens: rename the segment's speaker, move the
// segment (or all of its speaker's segments) to another speaker, or to a new one. It only
// reports the choice; its owner acts on it and closes it. The "Apply to this segment only"
// switch shows and writes the view model's shared flag through `applyToThisOnlyChanged`.
class SpeakerEditPopover : public QFrame {
  Q_OBJECT

 public:
  SpeakerEditPopover(qint64 currentSpeakerId, const QString& currentName, const QList<Speaker>& allSpeakers,
                     bool applyToThisOnly, QWidget* parent = nullptr);

  // The list of speakers to move to: every speaker but the segment's own, in list order.
  static QList<Speaker> otherSpeakers(const QList<Speaker>& all, qint64 currentSpeakerId);

  qint64 currentSpeakerId() const { return m_currentSpeakerId; }
  bool canSave() const;
  std::optional<qint64> selectedSpeakerId() const { return m_selected; }
  // Follows the shared flag when another view changes it.
  void setApplyToThisOnly(bool value);

  QLineEdit* nameField() const { return m_name; }
  QPushButton* saveButton() const { return m_save; }
  QPushButton* reassignButton() const { return m_reassign; }
  QPushButton* addSpeakerButton() const { return m_add; }
  QPushButton* cancelButton() const { return m_cancel; }
  QCheckBox* applySwitch() const { return m_apply; }
  QList<QPushButton*> speakerButtons() const { return m_speakerButtons; }

 signals:
  void renameRequested(const QString& name);
  void reassignRequested(qint64 speakerId, bool applyToAll);
  void addNewSpeakerRequested();
  void cancelRequested();
  void applyToThisOnlyChanged(bool value);

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void selectSpeaker(qint64 speakerId);
  void refresh();

  qint64 m_currentSpeakerId;
  QString m_currentName;
  QList<Speaker> m_others;
  std::optional<qint64> m_selected;
  QLineEdit* m_name = nullptr;
  QPushButton* m_save = nullptr;
  QList<QPushButton*> m_speakerButtons;
  QPushButton* m_add = nullptr;
  QCheckBox* m_apply = nullptr;
  QPushButton* m_reassign = nullptr;
  QPushButton* m_cancel = nullptr;
};

}  // namespace parlowvista
