#pragma once

#include <QFrame>
#include <QStringList>

class QLabel;
class QPushButton;

namespace parlowvista {

// A band above the main window's columns that names the files of a batch which were not
// transcribed, and why, and the files of a drop that were not taken. The next file starts at
// once and takes the error screen's place, so the reason would otherwise be only a line in the
// activity log; the band stays, gathering later ones, until the user dismisses it. Hidden while
// empty.
class SkippedFilesNotice : public QFrame {
  Q_OBJECT
 public:
  explicit SkippedFilesNotice(QWidget* parent = nullptr);

  // Adds "<file> was not transcribed: <reason>" and shows the band.
  void add(const QString& fileName, const QString& reason);
  const QStringList& lines() const { return m_lines; }
  QLabel* textLabel() const { return m_text; }
  QPushButton* dismissButton() const { return m_dismiss; }

 private:
  QStringList m_lines;
  QLabel* m_text = nullptr;
  QPushButton* m_dismiss = nullptr;
};

}  // namespace parlowvista
