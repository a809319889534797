// The audit must find what it exists to find: each fault below is one a window really had.
#include "Views/Common/FocusRing.h"
#include "support/QtWindowAudit.h"

#include <QComboBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <gtest/gtest.h>

using testsupport::QtWindowAudit;

namespace {

bool mentions(const QStringList& findings, const QString& text) {
  for (const QString& finding : findings)
    if (finding.contains(text)) return true;
  return false;
}

TEST(QtWindowAudit, MeasuresTheContrastAPersonSees) {
  const struct {
    QColor text, background;
    double expected;
  } cases[] = {{Qt::black, Qt::white, 21.0},
               {QColor(0xe6, 0x8a, 0x00), QColor(0xef, 0xef, 0xef), 2.28},
               {QColor(0x76, 0x76, 0x76), Qt::white, 4.54}};
  for (const auto& c : cases) {
    QWidget window;
    auto* label = new QLabel(QStringLiteral("Status text"), &window);
    label->setStyleSheet(QStringLiteral("color: %1; background: %2;").arg(c.text.name(), c.background.name()));
    label->setAutoFillBackground(true);
    window.resize(200, 40);
    window.show();
    EXPECT_NEAR(QtWindowAudit::measuredContrast(&window, label), c.expected, 0.1) << c.text.name().toStdString();
  }
}

TEST(QtWindowAudit, FindsFaintTextUnreachableControlsAndNamelessOnes) {
  QWidget window;
  auto* column = new QVBoxLayout(&window);
  auto* faint = new QLabel(QStringLiteral("not found"), &window);
  faint->setStyleSheet(QStringLiteral("color: #e68a00;"));
  column->addWidget(faint);
  auto* link = new QLabel(QStringLiteral("<a href=\"#\">Get Key</a>"), &window);
  column->addWidget(link);
  auto* nameless = new QComboBox(&window);
  nameless->addItem(QStringLiteral("value only"));
  column->addWidget(nameless);
  auto* scroll = new QScrollArea(&window);  // takes the focus and shows nothing for it
  scroll->setWidget(new QPushButton(QStringLiteral("Inside")));
  scroll->setWidgetResizable(true);
  column->addWidget(scroll);
  // Without the application's focus ring: the style draws a flat button's focus in a bevel it
  // has not, and a tool button's as a faint frame.
  auto* flat = new QPushButton(QStringLiteral("Flat"), &window);
  flat->setFlat(true);
  parlowvista::FocusRing::setShownOn(flat, false);
  column->addWidget(flat);
  auto* faintTool = new QToolButton(&window);
  faintTool->setText(QStringLiteral("Faint"));
  faintTool->setAutoRaise(true);
  parlowvista::FocusRing::setShownOn(faintTool, false);
  column->addWidget(faintTool);
  auto* raised = new QPushButton(QStringLiteral("Raised"), &window);
  column->addWidget(raised);
  // A width fixed for another font's text.
  auto* cut = new QLabel(QStringLiteral("Processed in 0.3s"), &window);
  cut->setFixedWidth(QFontMetrics(cut->font()).horizontalAdvance(QStringLiteral("Processed i")));
  column->addWidget(cut);
  window.resize(300, 300);
  window.show();

  const QStringList contrast = QtWindowAudit::checkContrast(&window);
  EXPECT_TRUE(mentions(contrast, QStringLiteral("'not found'"))) << contrast.join('\n').toStdString();
  EXPECT_EQ(contrast.size(), 1) << contrast.join('\n').toStdString();

  const QStringList tabs = QtWindowAudit::checkTabOrder(&window);
  EXPECT_TRUE(mentions(tabs, QStringLiteral("Tab never reaches QLabel 'Get Key'"))) << tabs.join('\n').toStdString();
  EXPECT_TRUE(mentions(tabs, QStringLiteral("Tab stops on QScrollArea"))) << tabs.join('\n').toStdString();
  EXPECT_TRUE(mentions(tabs, QStringLiteral("QPushButton 'Flat', but too little shows that it has the focus")))
      << tabs.join('\n').toStdString();
  EXPECT_TRUE(mentions(tabs, QStringLiteral("QToolButton 'Faint', but too little shows that it has the focus")))
      << tabs.join('\n').toStdString();
  EXPECT_FALSE(mentions(tabs, QStringLiteral("'Raised', but"))) << tabs.join('\n').toStdString();

  const QStringList names = QtWindowAudit::checkAccessibleNames(&window);
  EXPECT_EQ(names, QStringList{QStringLiteral("QComboBox 'value only': no accessible name")});
  nameless->setAccessibleName(QStringLiteral("Choice"));
  EXPECT_TRUE(QtWindowAudit::checkAccessibleNames(&window).isEmpty());

  // Only the cut text: the button a scroll area holds has room, scrolled to or not.
  const QStringList room = QtWindowAudit::checkClippedText(&window);
  ASSERT_EQ(room.size(), 1) << room.join('\n').toStdString();
  EXPECT_TRUE(room[0].startsWith(QStringLiteral("QLabel 'Processed in 0.3s': its text needs")))
      << room[0].toStdString();
  cut->setMinimumWidth(0);
  cut->setMaximumWidth(QWIDGETSIZE_MAX);
  EXPECT_TRUE(QtWindowAudit::checkClippedText(&window).isEmpty());
}

// What a scroll area holds out of view is still checked: its text is scrolled in and measured,
// its controls need names and Tab, and a Tab stop left out of sight is reported.
TEST(QtWindowAudit, LooksAtWhatAScrollAreaHoldsOutOfView) {
  QWidget window;
  auto* column = new QVBoxLayout(&window);
  auto* scroll = new QScrollArea(&window);
  scroll->setFocusPolicy(Qt::NoFocus);
  scroll->setWidgetResizable(true);
  auto* content = new QWidget;
  auto* inner = new QVBoxLayout(content);
  inner->addWidget(new QPushButton(QStringLiteral("Top")));
  inner->addSpacing(600);
  auto* faint = new QLabel(QStringLiteral("far below"));
  faint->setStyleSheet(QStringLiteral("color: #e68a00;"));
  inner->addWidget(faint);
  auto* nameless = new QComboBox;
  nameless->addItem(QStringLiteral("hidden value"));
  inner->addWidget(nameless);
  scroll->setWidget(content);
  column->addWidget(scroll);
  column->addWidget(new QPushButton(QStringLiteral("Outside"), &window));
  window.resize(240, 200);
  window.show();

  const QStringList contrast = QtWindowAudit::checkContrast(&window);
  EXPECT_EQ(contrast.size(), 1) << contrast.join('\n').toStdString();
  EXPECT_TRUE(mentions(contrast, QStringLiteral("'far below': contrast 2."))) << contrast.join('\n').toStdString();
  EXPECT_EQ(scroll->verticalScrollBar()->value(), 0);  // put back

  const QStringList names = QtWindowAudit::checkAccessibleNames(&window);
  EXPECT_EQ(names, QStringList{QStringLiteral("QComboBox 'hidden value': no accessible name")});

  // Tab from "Outside" comes round to "Top" while the area still shows the bottom: Qt's scroll
  // area scrolls only for focus moves within it.
  const QStringList tabs = QtWindowAudit::checkTabOrder(&window);
  EXPECT_TRUE(mentions(tabs, QStringLiteral("which is not on screen"))) << tabs.join('\n').toStdString();
}

// A control the window replaces while the audit runs (as a row's editor closes once the focus
// leaves it, or a bar remade after a save) is passed over, not touched after it has gone.
TEST(QtWindowAudit, PassesOverAControlTheWindowReplacesMeanwhile) {
  struct ClosingEditor : QPushButton {
    using QPushButton::QPushButton;
    void focusOutEvent(QFocusEvent* event) override {
      QPushButton::focusOutEvent(event);
      deleteLater();
    }
  };
  QWidget window;
  auto* column = new QVBoxLayout(&window);
  column->addWidget(new QPushButton(QStringLiteral("First"), &window));
  const QPointer<QPushButton> editor = new ClosingEditor(QStringLiteral("Editor"), &window);
  column->addWidget(editor);
  column->addWidget(new QPushButton(QStringLiteral("Last"), &window));
  window.resize(200, 150);
  window.show();

  const QStringList tabs = QtWindowAudit::checkTabOrder(&window);
  EXPECT_TRUE(editor.isNull());
  EXPECT_TRUE(tabs.isEmpty()) << tabs.join('\n').toStdString();
}

}  // namespace
