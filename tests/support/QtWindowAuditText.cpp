// The audit's check (d): text that does not fit where it is drawn.
#include "support/QtWindowAudit.h"
#include "support/QtWindowAuditShared.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QToolButton>

#include <optional>

namespace testsupport {

namespace {

// A pixel of slack for rounding between a font's metrics and the layout.
constexpr int kSlack = 1;

// What `widget` needs to show its text whole, as a rectangle of its own placed as its text is
// (a label's alignment); nothing for a widget that draws no text of ours.
std::optional<QRect> textNeeds(QWidget* widget) {
  if (auto* label = qobject_cast<QLabel*>(widget)) {
    if (!label->pixmap().isNull() || label->text().trimmed().isEmpty()) return std::nullopt;
    return audit::labelTextRect(label);
  }
  if (auto* combo = qobject_cast<QComboBox*>(widget)) {
    if (combo->currentText().isEmpty() || combo->isEditable()) return std::nullopt;
    QStyleOptionComboBox option;
    option.initFrom(combo);
    option.currentText = combo->currentText();
    const QFontMetrics metrics(combo->font());
    int width = metrics.horizontalAdvance(combo->currentText());
    if (!combo->itemIcon(combo->currentIndex()).isNull()) width += combo->iconSize().width() + 4;
    const QSize size =
        combo->style()->sizeFromContents(QStyle::CT_ComboBox, &option, QSize(width, metrics.height()), combo);
    return QRect(QPoint(0, 0), QSize(size.width(), combo->height()));
  }
  if (auto* box = qobject_cast<QGroupBox*>(widget)) {
    if (box->title().isEmpty()) return std::nullopt;
    return QRect(0, 0, QFontMetrics(box->font()).horizontalAdvance(box->title()), box->height());
  }
  auto* button = qobject_cast<QAbstractButton*>(widget);
  if (!button || button->text().isEmpty()) return std::nullopt;
  QSize size = button->sizeHint();
  if (auto* push = qobject_cast<QPushButton*>(button)) {
    // A push button's hint has a width of its own below which none is made: what the text needs
    // is the text, the icon, and the style's margins and frame.
    const QStyle* style = push->style();
    const QString text = QString(push->text()).remove(QLatin1Char('&'));
    int width = push->fontMetrics().horizontalAdvance(text) +
                2 * (style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, push) +
                     style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, push));
    if (!push->icon().isNull()) width += push->iconSize().width() + 4;
    if (push->menu()) width += style->pixelMetric(QStyle::PM_MenuButtonIndicator, nullptr, push);
    size.setWidth(std::min(size.width(), width));
  } else if (!qobject_cast<QToolButton*>(button) && !qobject_cast<QCheckBox*>(button) &&
             !qobject_cast<QRadioButton*>(button)) {
    return std::nullopt;  // a button that paints itself says itself what it shows
  }
  return QRect(QPoint(0, 0), QSize(size.width(), button->height()));
}

}  // namespace

QStringList QtWindowAudit::checkClippedText(QWidget* window) {
  audit::settle();
  QStringList findings;
  QList<QWidget*> widgets = window->findChildren<QWidget*>();
  for (QWidget* widget : widgets) {
    if (widget->window() != window || !widget->isVisible()) continue;
    const std::optional<QRect> needs = textNeeds(widget);
    if (!needs) continue;
    const QRect shown = audit::unclippedRect(widget, window, true);
    if (shown.isEmpty()) continue;  // hidden by its parents as a whole: nothing of it is seen
    const QRect missing = needs->adjusted(kSlack, kSlack, -kSlack, -kSlack);
    if (shown.contains(missing)) continue;
    findings << QStringLiteral("%1: its text needs %2x%3 but %4x%5 of it shows")
                    .arg(audit::describe(widget))
                    .arg(needs->width())
                    .arg(needs->height())
                    .arg((shown & *needs).width())
                    .arg((shown & *needs).height());
  }
  return findings;
}

}  // namespace testsupport
