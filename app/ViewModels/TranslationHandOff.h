#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include <optional>
#include <utility>

namespace parlowvista {

// The hand-off of a transcript to the translation service, as the window shows it: whether one
// runs, how far it is and what the service says, and why the last one failed. Each hand-off has
// a number; a newer one (or a cancel) supersedes the one before, whose outcome is then dropped,
// and stops copying its progress and status.
//
// Threads: lives on the UI thread.
class TranslationHandOff : public QObject {
  Q_OBJECT

 public:
  bool isTranslating() const { return m_translating; }
  double progress() const { return m_progress; }  // 0...1
  QString status() const { return m_status; }
  // Why the last hand-off failed; none after a success, a cancel, or while one runs.
  const std::optional<QString>& error() const { return m_error; }

  // Each is announced even when it stays the same, as the view model's published fields are.
  void setTranslating(bool value) {
    m_translating = value;
    emit translatingChanged();
  }
  void setProgress(double value) {
    m_progress = value;
    emit progressChanged();
  }
  void setStatus(const QString& text) {
    m_status = text;
    emit statusChanged();
  }
  // Not announced of its own: it changes before translatingChanged().
  void setError(std::optional<QString> error) { m_error = std::move(error); }

  // Supersedes the hand-off under way, if any, and gives the next one's number.
  quint64 supersede() {
    stopMirroring();
    return ++m_run;
  }
  bool isCurrent(quint64 run) const { return run == m_run; }
  // The connections that copy the service's progress and status while the current one runs.
  void mirror(QList<QMetaObject::Connection> connections) { m_mirror = std::move(connections); }
  void stopMirroring() {
    for (const auto& connection : std::exchange(m_mirror, {})) disconnect(connection);
  }

 signals:
  void translatingChanged();
  void progressChanged();
  void statusChanged();

 private:
  bool m_translating = false;
  double m_progress = 0;
  QString m_status;
  std::optional<QString> m_error;
  quint64 m_run = 0;                        // the hand-off whose result may still be stored
  QList<QMetaObject::Connection> m_mirror;  // the service's progress and status, copied
};

}  // namespace parlowvista
