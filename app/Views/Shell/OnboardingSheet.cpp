#include "Views/Shell/OnboardingSheet.h"

#include "Models/AppSettings.h"
#include "Views/Common/Divider.h"
#include "Views/Common/SheetEdge.h"
#include "Views/Common/SheetPlacement.h"
#include "Views/Common/Theme.h"

#include <QLabel>
#include <QPushButton>
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
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(32, 32, 32, 32);
  layout->setSpacing(24);

  auto* title = text(QStringLiteral("Welcome to Parlowvista"), this, 8, true);
  title->setAlignment(Qt::AlignCenter);
  layout->addWidget(title);
  auto* tagline = text(QStringLiteral("AI-powered audio transcription with speaker diarization"), this);
  tagline->setAlignment(Qt::AlignCenter);
  layout->addWidget(tagline);
  auto* line = new Divider(this);
  layout->addWidget(line);

  // Only what the application can do: it exports TXT, SRT and JSON.
  const struct {
    const char* title;
    const char* description;
  } features[] = {
      {"Speech Recognition", "Accurate transcription powered by AI"},
      {"Speaker Diarization", "Automatic speaker identification"},
      {"YouTube Support", "Import and transcribe videos from URL"},
      {"Multiple Formats", "Export to SRT, TXT, and JSON"},
  };
  auto* list = new QVBoxLayout;
  list->setSpacing(16);
  for (const auto& feature : features) {
    auto* row = new QVBoxLayout;
    row->setSpacing(2);
    row->addWidget(text(QString::fromUtf8(feature.title), this, 1, true));
    row->addWidget(text(QString::fromUtf8(feature.description), this));
    list->addLayout(row);
  }
  layout->addLayout(list);
  layout->addStretch();

  auto* start = new QPushButton(QStringLiteral("Get Started"), this);
  start->setDefault(true);
  start->setMinimumHeight(32);
  connect(start, &QPushButton::clicked, this, [this] {
    m_settings.setHasCompletedOnboarding(true);
    accept();
  });
  layout->addWidget(start);
}

void OnboardingSheet::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  centreOverParentWindow(this);
}

}  // namespace parlowvista
