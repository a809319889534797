#include "Views/Workspace/ReprocessDialog.h"

#include "Views/Common/ColorContrast.h"
#include "Views/Common/Divider.h"
#include "Views/Common/SheetPlacement.h"
#include "Views/Common/Theme.h"
#include "Views/Common/ThemedLabel.h"
#include "Views/Workspace/WorkspaceStyle.h"

#include <QBoxLayout>
#include <QCloseEvent>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>

namespace parlowvista {

namespace {

// A flat button whose whole face (symbol, title, subtitle and the space right of them)
// takes the click.
class OptionButton : public QPushButton {
 public:
  // The face is the strip background, the window its texts and symbol are measured against.
  // It paints the rounded face itself.
  explicit OptionButton(QWidget* parent) : QPushButton(parent) {
    Theme::setStripBackground(this);
    setAutoFillBackground(false);
  }

  // What its symbol and texts need, in the font they are shown in.
  QSize sizeHint() const override { return layout() ? layout()->sizeHint() : QPushButton::sizeHint(); }
  QSize minimumSizeHint() const override { return layout() ? layout()->minimumSize() : QPushButton::minimumSizeHint(); }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()), 8, 8);
    p.fillPath(path, palette().color(QPalette::Window));
    if (hasFocus())
      p.strokePath(path, QPen(workspace::accentColor(palette()), 2));
    else if (underMouse())
      p.strokePath(path, QPen(workspace::secondaryText(palette()), 1));
  }
};

}  // namespace

ReprocessDialog::ReprocessDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle("Reprocess Transcription");
  setAccessibleName("Reprocess Transcription");
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(24, 24, 24, 24);
  column->setSpacing(20);
  auto* symbol = new QLabel(this);
  workspace::followSymbol(symbol, "arrow.triangle.2.circlepath", workspace::accentColor, 48);
  symbol->setAlignment(Qt::AlignCenter);
  auto* title = new QLabel("Reprocess Transcription", this);
  QFont f = font();
  f.setPointSizeF(f.pointSizeF() * 1.4);
  f.setBold(true);
  title->setFont(f);
  title->setAlignment(Qt::AlignCenter);
  auto* question =
      new ThemedLabel("How would you like to save the new transcription?", ThemeColor::secondaryText, this);
  question->setAlignment(Qt::AlignCenter);
  question->setWordWrap(true);
  auto* line = new Divider(this);
  column->addWidget(symbol);
  column->addWidget(title);
  column->addWidget(question);
  column->addWidget(line);
  auto* options = new QVBoxLayout;
  options->setSpacing(12);
  m_newVersion = optionButton("doc.badge.plus", "Create New Version", "Keep the current version and create a new one");
  m_overwrite =
      optionButton("arrow.triangle.2.circlepath", "Overwrite Current", "Replace the current version with new results");
  options->addWidget(m_newVersion);
  options->addWidget(m_overwrite);
  column->addLayout(options);
  m_cancel = new QPushButton("Cancel", this);
  m_cancel->setAutoDefault(false);
  column->addWidget(m_cancel, 0, Qt::AlignCenter);

  growWithFont(this, 400);

  connect(m_newVersion, &QPushButton::clicked, this, &ReprocessDialog::newVersionRequested);
  connect(m_overwrite, &QPushButton::clicked, this, &ReprocessDialog::overwriteRequested);
  connect(m_cancel, &QPushButton::clicked, this, &ReprocessDialog::cancelRequested);
}

QPushButton* ReprocessDialog::optionButton(const QString& symbol, const QString& title, const QString& subtitle) {
  auto* button = new OptionButton(this);
  button->setAutoDefault(false);
  button->setAccessibleName(title);
  button->setAccessibleDescription(subtitle);
  auto* row = new QHBoxLayout(button);
  row->setContentsMargins(12, 10, 12, 10);
  auto* icon = new QLabel(button);
  // On the option's face (the button's window colour): 3:1 against that face.
  workspace::followSymbol(
      icon, symbol,
      [](const QPalette& p) {
        return withContrast(workspace::accentColor(p), p.color(QPalette::Window), Theme::largeContrast + 0.2);
      },
      22);
  icon->setFixedWidth(24);
  auto* texts = new QVBoxLayout;
  texts->setSpacing(2);
  auto* head = new QLabel(title, button);
  QFont bold = font();
  bold.setBold(true);
  head->setFont(bold);
  QLabel* sub = captionLabel(subtitle, button);
  texts->addWidget(head);
  texts->addWidget(sub);
  row->addWidget(icon);
  row->addLayout(texts);
  row->addStretch(1);
  for (QWidget* w : {static_cast<QWidget*>(icon), static_cast<QWidget*>(head), static_cast<QWidget*>(sub)})
    w->setAttribute(Qt::WA_TransparentForMouseEvents);
  return button;
}

void ReprocessDialog::reject() {
  emit cancelRequested();
}

void ReprocessDialog::closeEvent(QCloseEvent* event) {
  event->ignore();
  emit cancelRequested();
}

}  // namespace parlowvista
