#pragma once

#include <QFrame>
#include <QStringList>

class QLabel;
class QPushButton;
class QScrollArea;

namespace parlowvista {

// A band under the main window's file list that names the files of a batch which were not
// transcribed, and why, and the files of a drop that were not taken. The next file starts at
// once and takes the error screen's place, so the reason would otherwise be only a line in the
// activity log; the band stays, gathering later ones, until the user dismisses it. It stands
// beside the work, in the file list's column, and takes at most a few lines of it (a longer
// text scrolls within the band, showing the newest lines), so the transcript keeps its room
// even on a small screen.
// Hidden while empty.
class SkippedFilesNotice : public QFrame {
  Q_OBJECT
 public:
  // The most lines of text the band shows at once, and the fewest it keeps room for (the
  // file list gives way first).
  static constexpr int kShownLines = 6;
  static constexpr int kLeastLines = 3;

  explicit SkippedFilesNotice(QWidget* parent = nullptr);

  // Adds "<file> was not transcribed: <reason>" and shows the band.
  void add(const QString& fileName, const QString& reason);
  const QStringList& lines() const { return m_lines; }
  QLabel* textLabel() const { return m_text; }
  QScrollArea* textArea() const { return m_scroll; }
  QPushButton* dismissButton() const { return m_dismiss; }

 protected:
  void changeEvent(QEvent* event) override;

 private:
  void limitHeight();

  QStringList m_lines;
  QLabel* m_text = nullptr;
  QScrollArea* m_scroll = nullptr;
  QPushButton* m_dismiss = nullptr;
  // The text stays scrolled to its end (the newest lines) until the user scrolls up.
  bool m_showsNewest = true;
};

}  // namespace parlowvista
