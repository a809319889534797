#pragma once

#include <QGroupBox>
#include <QMap>
#include <QString>

#include <optional>

class QLabel;
class QPushButton;
class QVBoxLayout;

namespace parlowvista {

class SpeakerRowView;
class TranscriptionViewModel;

// The side panel's list of the transcript's speakers: colour, name, segment count and total
// length, renaming in place and "Add Speaker". Rows are kept by speaker id and updated in
// place when the speakers or the result change; playback ticks do not touch them, so an
// open name field keeps its text and focus while the audio plays.
//
// Entry point for the main window: construct it with the window's view model and show it
// in the side panel while the state is `completed`.
class SpeakersPanel : public QGroupBox {
  Q_OBJECT

 public:
  explicit SpeakersPanel(TranscriptionViewModel& viewModel, QWidget* parent = nullptr);

  std::optional<qint64> editingSpeakerId() const { return m_editingId; }
  SpeakerRowView* rowFor(qint64 speakerId) const { return m_rows.value(speakerId); }
  QList<SpeakerRowView*> rowsInOrder() const;
  QLabel* emptyLabel() const { return m_empty; }
  QPushButton* addButton() const { return m_add; }

  void startEditing(qint64 speakerId);
  void endEditing(qint64 speakerId, bool save, const QString& text);

 private:
  void sync();

  TranscriptionViewModel& m_vm;
  QVBoxLayout* m_list = nullptr;
  QLabel* m_empty = nullptr;
  QPushButton* m_add = nullptr;
  QMap<qint64, SpeakerRowView*> m_rows;
  std::optional<qint64> m_editingId;
};

}  // namespace parlowvista
