#pragma once

#include <QPointer>
#include <QWidget>

#include <functional>

class QHBoxLayout;
class QPushButton;

namespace parlowvista {

class ModelContext;
class Transcription;
class TranscriptionViewModel;

// The strip above the transcript: "Original", one tab per translation of the current version
// (oldest first; "Delete Translation" on its context menu), and a button that asks for a new
// translation. The shown tab is the view model's; the bar keeps nothing of its own and is
// made again when what its tabs show changes (the version, its translations or the tab).
class ContentTabBar : public QWidget {
  Q_OBJECT

 public:
  ContentTabBar(TranscriptionViewModel& viewModel, ModelContext& context, std::function<void()> onCreateTranslation,
                QWidget* parent = nullptr);

  // The tab buttons in order ("Original" first), then the new-translation button.
  QList<QPushButton*> tabButtons() const { return m_tabs; }
  QPushButton* createButton() const { return m_create; }

 private:
  // What one tab shows; null for "Original".
  struct Tab {
    QPointer<Transcription> translation;
    QString title;
    bool selected = false;
    bool language = false;  // has a target language: the globe icon
    bool operator==(const Tab&) const = default;
  };
  QList<Tab> wantedTabs() const;
  void rebuild();

  TranscriptionViewModel& m_viewModel;
  std::function<void()> m_onCreateTranslation;
  QHBoxLayout* m_row = nullptr;
  QList<QPushButton*> m_tabs;
  QPushButton* m_create = nullptr;
  QList<Tab> m_shown;
};

}  // namespace parlowvista
