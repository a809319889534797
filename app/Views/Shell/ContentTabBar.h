#pragma once

#include <QPointer>
#include <QUuid>
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
// translation. The shown tab is the view model's; the bar keeps nothing of its own and its
// buttons are made again when the version, its translations or the tab change.
class ContentTabBar : public QWidget {
  Q_OBJECT

 public:
  ContentTabBar(TranscriptionViewModel& viewModel, ModelContext& context, std::function<void()> onCreateTranslation,
                QWidget* parent = nullptr);

  // The tab buttons in order ("Original" first), then the new-translation button.
  QList<QPushButton*> tabButtons() const { return m_tabs; }
  QPushButton* createButton() const { return m_create; }

 private:
  // What one tab shows; the original's id is null.
  struct Shown {
    QUuid id;
    QString title;
    bool selected = false;
    bool globe = false;
    bool operator==(const Shown&) const = default;
  };

  void rebuild();

  TranscriptionViewModel& m_viewModel;
  std::function<void()> m_onCreateTranslation;
  QHBoxLayout* m_row = nullptr;
  QList<QPushButton*> m_tabs;
  QPushButton* m_create = nullptr;
  QList<Shown> m_shown;
};

}  // namespace parlowvista
