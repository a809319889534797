#include "Views/Shell/OnboardingSheet.h"

#include "Models/AppSettings.h"
#include "Views/Common/Divider.h"
#include "Views/Common/ScrollFollowsFocus.h"
#include "Views/Common/SheetEdge.h"
#include "Views/Common/SheetPlacement.h"
#include "Views/Common/Theme.h"
#include "Views/Common/ThemedLabel.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

namespace parlowvista {

namespace {

QLabel* text(const QString& value, QWidget* parent, int pointDelta = 0, bool bold = false) {
  auto* label = new QLabel(value, parent);
  label->setTextFormat(Qt::PlainText);
  label->setWordWrap(true);
  QFont font = label->font();
  font.setPointSize(font.pointSize() + pointDelta);
  font.setBold(bold);
  label->setFont(font);
  return label;
}

}  // namespace

OnboardingSheet::OnboardingSheet(AppSettings& settings, QWidget* parent) : QDialog(parent), m_settings(settings) {
  setWindowTitle(QStringLiteral("Welcome to Parlowvista"));
  setFixedSize(500, 520);
  setModal(true);
  drawEdgeAroundSheet(this);
  // On a screen with less room than that (700 by 450 at twice the scale) the sheet is kept on
  // it, its introduction scrolls and "Get Started" stays in view below it.
  keepOnScreen(this);
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->setSpacing(0);
  auto* scroll = makeScrollingColumn(this);
  auto* body = new QWidget(scroll);
  auto* layout = new QVBoxLayout(body);
  layout->setContentsMargins(32, 32, 32, 0);
  layout->setSpacing(24);

  auto* header = new QVBoxLayout;
  header->setSpacing(8);
  header->setContentsMargins(0, 20, 0, 0);
  auto* symbol = ThemedLabel::icon(QStringLiteral("waveform"), ThemeColor::link, 48, this);
  symbol->setObjectName(QStringLiteral("onboardingSymbol"));
  header->addWidget(symbol, 0, Qt::AlignHCenter);
  auto* title = text(QStringLiteral("Welcome to Parlowvista"), this, 8, true);
  title->setAlignment(Qt::AlignCenter);
  header->addWidget(title);
  auto* tagline = new ThemedLabel(QStringLiteral("AI-powered audio transcription with speaker diarization"),
                                  ThemeColor::secondaryText, this);
  tagline->setWordWrap(true);
  tagline->setAlignment(Qt::AlignCenter);
  header->addWidget(tagline);
  layout->addLayout(header);
  auto* line = new Divider(this);
  layout->addWidget(line);

  // Only what the application can do: it exports TXT, SRT and JSON.
  const struct {
    const char* icon;
    const char* title;
    const char* description;
  } features[] = {
      {"waveform", "Speech Recognition", "Accurate transcription powered by AI"},
      {"people", "Speaker Diarization", "Automatic speaker identification"},
      {"play-rectangle", "YouTube Support", "Import and transcribe videos from URL"},
      {"doc-text", "Multiple Formats", "Export to SRT, TXT, and JSON"},
  };
  auto* list = new QVBoxLayout;
  list->setSpacing(16);
  for (const auto& feature : features) {
    auto* row = new QHBoxLayout;
    row->setSpacing(12);
    auto* icon = ThemedLabel::icon(QString::fromLatin1(feature.icon), ThemeColor::link, 22, this);
    icon->setFixedWidth(32);
    icon->setAlignment(Qt::AlignCenter);
    row->addWidget(icon, 0, Qt::AlignVCenter);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    texts->addWidget(text(QString::fromUtf8(feature.title), this, 1, true));
    auto* description = captionLabel(QString::fromUtf8(feature.description), this);
    description->setWordWrap(true);
    texts->addWidget(description);
    row->addLayout(texts, 1);
    list->addLayout(row);
  }
  layout->addLayout(list);
  layout->addStretch();
  scroll->setWidget(body);
  outer->addWidget(scroll, 1);

  auto* footer = new QVBoxLayout;
  footer->setContentsMargins(32, 24, 32, 32);
  outer->addLayout(footer);
  auto* start = new QPushButton(QStringLiteral("Get Started"), this);
  start->setDefault(true);
  start->setMinimumHeight(32);
  connect(start, &QPushButton::clicked, this, [this] {
    m_settings.setHasCompletedOnboarding(true);
    accept();
  });
  footer->addWidget(start);
}

void OnboardingSheet::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  centreOverParentWindow(this);
}

}  // namespace parlowvista
