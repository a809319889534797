#pragma once

#include <QHash>
#include <QPointer>
#include <QUuid>
#include <QWidget>

#include <functional>

class QLabel;

namespace parlowvista {

class AudioSource;
class FileAccessManager;
class FlowLayout;
class ThemedLabel;
class Transcription;
class VersionChip;

// One source in the source list: icon, file name (shortened to the column), duration and import date, "Missing" when
// the file cannot be reached, and a strip of version chips (newest first) that is kept in
// step with the source's versions chip by chip and wraps onto more lines within the row. The file check runs each time
// the row comes on screen, when the file is asked to be located and once it has been. The row reports intents; the
// source list acts on them. A selected row is filled with the palette's emphasis colour (standing out from the list by
// 3:1), and its texts, icon and chips take colours that read on it.
class AudioSourceRow : public QWidget {
  Q_OBJECT
 public:
  AudioSourceRow(AudioSource* source, FileAccessManager& fileAccess, QWidget* parent = nullptr);

  AudioSource* audioSource() const { return m_source; }
  void setSelected(bool selected);
  bool isSelected() const { return m_selected; }
  void setSelectedTranscription(Transcription* transcription);
  bool isFileAvailable() const { return m_fileAvailable; }
  // Checks the file in the background (also done when the row is shown); the row changes when
  // the answer comes.
  void refreshAvailability();

  // The versions newest first (stable), as the chips show them.
  static QList<Transcription*> versionsNewestFirst(const AudioSource* source);
  QList<VersionChip*> chips() const;
  QString detailsText() const;
  // "%d:%02d" of whole seconds, truncated toward zero, minutes not capped (62:05).
  static QString formatDuration(double seconds);

  // The context menu's entries, in order ("" for the divider).
  QStringList menuEntries() const;
  void triggerMenuEntry(const QString& entry);
  // Why "Delete" cannot be done now (empty: it can); the menu then shows it disabled with this
  // reason as its tip.
  void setDeletionRefusal(std::function<QString()> why) { m_deletionRefusal = std::move(why); }

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
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void updateTexts();
  // The file name, shortened with "…" to the width it has (the whole name in its tip).
  void elideName();
  void syncChips();
  void updateChipStates();
  void updateIcon();
  // Row, chip and text colours from the surroundings' palette and the selection.
  void applyColors();

  QPointer<AudioSource> m_source;
  FileAccessManager& m_fileAccess;
  ThemedLabel* m_icon;
  QLabel* m_name;
  ThemedLabel* m_details;
  ThemedLabel* m_missing;
  QWidget* m_chipStrip;
  FlowLayout* m_chipLayout;
  QList<QPair<QUuid, VersionChip*>> m_chips;
  QPointer<Transcription> m_selectedTranscription;
  bool m_selected = false;
  bool m_fileAvailable = true;
  bool m_checking = false;
  bool m_checkAgain = false;
  bool m_applyingColors = false;
  std::function<QString()> m_deletionRefusal;
};

}  // namespace parlowvista
