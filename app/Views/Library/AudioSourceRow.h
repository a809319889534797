#pragma once

#include <QHash>
#include <QPointer>
#include <QUuid>
#include <QWidget>

class QHBoxLayout;
class QLabel;
class QToolButton;

namespace parlowvista {

class AudioSource;
class FileAccessManager;
class Transcription;

// One source in the source list: icon, file name, duration and import date, "Missing" when
// the file cannot be reached, and a strip of version chips (newest first) that is kept in
// step with the source's versions chip by chip. The file check runs each time the row comes
// on screen. The row reports intents; the source list acts on them.
class AudioSourceRow : public QWidget {
  Q_OBJECT
 public:
  AudioSourceRow(AudioSource* source, FileAccessManager& fileAccess, QWidget* parent = nullptr);

  AudioSource* audioSource() const { return m_source; }
  void setSelected(bool selected);
  void setSelectedTranscription(Transcription* transcription);
  bool isFileAvailable() const { return m_fileAvailable; }
  // Checks the file now (also done when the row is shown).
  void refreshAvailability();

  // The versions newest first (stable), as the chips show them.
  static QList<Transcription*> versionsNewestFirst(const AudioSource* source);
  QList<QToolButton*> chips() const;
  QString detailsText() const;

  // The context menu's entries, in order ("" for the divider).
  QStringList menuEntries() const;
  void triggerMenuEntry(const QString& entry);

 signals:
  void selectRequested();
  void deleteRequested();
  void chipClicked(parlowvista::Transcription* transcription);
  void showInFileManagerRequested(const QUrl& file);

 protected:
  void showEvent(QShowEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void updateTexts();
  void syncChips();
  void updateChipStyles();
  void updateIcon();

  QPointer<AudioSource> m_source;
  FileAccessManager& m_fileAccess;
  QLabel* m_icon;
  QLabel* m_name;
  QLabel* m_details;
  QWidget* m_chipStrip;
  QHBoxLayout* m_chipLayout;
  QList<QPair<QUuid, QToolButton*>> m_chips;
  QPointer<Transcription> m_selectedTranscription;
  bool m_selected = false;
  bool m_fileAvailable = true;
};

}  // namespace parlowvista
