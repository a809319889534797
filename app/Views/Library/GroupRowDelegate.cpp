#include "Views/Library/GroupRowDelegate.h"

#include "Views/Common/Icons.h"
#include "Views/Common/Theme.h"
#include "Views/Library/GroupListModel.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>

namespace parlowvista {

namespace {
constexpr int kPadding = 8;
constexpr int kIconSize = 16;
}  // namespace

QSize GroupRowDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
  return {180, option.fontMetrics.height() + 2 * kPadding};
}

void GroupRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
  QStyleOptionViewItem base = option;
  initStyleOption(&base, index);
  base.text.clear();
  QStyle* style = option.widget ? option.widget->style() : QApplication::style();
  style->drawPrimitive(QStyle::PE_PanelItemViewItem, &base, painter, option.widget);

  const bool selected = option.state & QStyle::State_Selected;
  const QPalette& palette = option.palette;
  const QColor text = palette.color(selected ? QPalette::HighlightedText : QPalette::Text);
  const QColor secondary = selected ? text : Theme::color(ThemeColor::secondaryText, palette, QPalette::Base);
  const QRect rect = option.rect.adjusted(kPadding, 0, -kPadding, 0);

  painter->save();
  const QRect iconRect(rect.left(), rect.center().y() - kIconSize / 2, kIconSize, kIconSize);
  painter->drawPixmap(
      iconRect, Icons::pixmap(QStringLiteral("folder"), secondary, kIconSize, painter->device()->devicePixelRatioF()));

  QFont badgeFont = option.font;
  badgeFont.setPointSizeF(option.font.pointSizeF() * 0.85);
  const QString count = QString::number(index.data(GroupListModel::SourceCountRole).toInt());
  const QFontMetrics badgeMetrics(badgeFont);
  const int badgeWidth = badgeMetrics.horizontalAdvance(count) + 12;
  const int badgeHeight = badgeMetrics.height() + 4;
  const QRect badgeRect(rect.right() - badgeWidth, rect.center().y() - badgeHeight / 2, badgeWidth, badgeHeight);
  QColor badgeFill = text;
  badgeFill.setAlphaF(0.12);
  painter->setRenderHint(QPainter::Antialiasing);
  painter->setPen(Qt::NoPen);
  painter->setBrush(badgeFill);
  painter->drawRoundedRect(badgeRect, badgeHeight / 2.0, badgeHeight / 2.0);
  painter->setFont(badgeFont);
  painter->setPen(text);
  painter->drawText(badgeRect, Qt::AlignCenter, count);

  const QRect nameRect(iconRect.right() + 6, rect.top(), badgeRect.left() - iconRect.right() - 12, rect.height());
  painter->setFont(option.font);
  painter->setPen(text);
  const QString name =
      option.fontMetrics.elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideRight, nameRect.width());
  painter->drawText(nameRect, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine, name);
  painter->restore();
  // The row the keyboard is on (as the style's own rows show it, after Tab or the arrow keys): a
  // ring in the row's text colour, which the style's faint frame is not on a selected row.
  if ((option.state & QStyle::State_HasFocus) && (option.state & QStyle::State_KeyboardFocusChange)) {
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(QPen(text, 1.5));
    painter->setBrush(Qt::NoBrush);
    painter->drawRoundedRect(QRectF(option.rect).adjusted(2, 2, -2, -2), 4, 4);
    painter->restore();
  }
}

QWidget* GroupRowDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem&, const QModelIndex&) const {
  auto* editor = new QLineEdit(parent);
  editor->setPlaceholderText(QStringLiteral("Group name"));
  editor->setAccessibleName(QStringLiteral("Group name"));
  editor->setFrame(false);
  return editor;
}

namespace {
// Set on the field by Return: the only way its text becomes the group's name.
constexpr const char* kReturnPressed = "returnPressed";
}  // namespace

bool GroupRowDelegate::eventFilter(QObject* editor, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) editor->setProperty(kReturnPressed, true);
  }
  return QStyledItemDelegate::eventFilter(editor, event);
}

void GroupRowDelegate::setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const {
  // The view also hands the field's text over when the focus leaves it or another row becomes
  // current: only Return renames.
  if (editor->property(kReturnPressed).toBool()) QStyledItemDelegate::setModelData(editor, model, index);
}

void GroupRowDelegate::updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                                            const QModelIndex&) const {
  editor->setGeometry(option.rect.adjusted(kPadding + kIconSize + 4, 2, -kPadding, -2));
}

}  // namespace parlowvista
