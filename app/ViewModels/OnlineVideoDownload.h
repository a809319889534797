#pragma once

#include <QObject>
#include <QString>

namespace parlowvista {

// The online-video road's download as the window shows it: whether the downloader tool is
// there, how far the download of the address is and what the tool says about it.
//
// Threads: lives on the UI thread; the downloader's reports are brought there first.
class OnlineVideoDownload : public QObject {
  Q_OBJECT

 public:
  bool isDownloaderAvailable() const { return m_downloaderAvailable; }
  double progress() const { return m_progress; }  // 0...1
  QString status() const { return m_status; }

  // Announced only when it changes.
  void setDownloaderAvailable(bool value) {
    if (m_downloaderAvailable == value) return;
    m_downloaderAvailable = value;
    emit downloaderAvailableChanged();
  }
  // Each is announced even when it stays the same, as the view model's published fields are.
  void setProgress(double value) {
    m_progress = value;
    emit progressChanged();
  }
  void setStatus(const QString& text) {
    m_status = text;
    emit statusChanged();
  }

 signals:
  void downloaderAvailableChanged();
  void progressChanged();
  void statusChanged();

 private:
  bool m_downloaderAvailable = false;
  double m_progress = 0;
  QString m_status;
};

}  // namespace parlowvista
