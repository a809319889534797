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
constexpr const char* kFilled = "filled";
}  // namespace

void GroupRowDelegate::setEditorData(QWidget* editor, const QModelIndex& index) const {
  if (editor->property(kFilled).toBool()) return;
  editor->setProperty(kFilled, true);
  QStyledItemDelegate::setEditorData(editor, index);
}

bool GroupRowDelegate::eventFilter(QObject* object, QEvent* event) {
  auto* editor = qobject_cast<QWidget*>(object);
  if (!editor) return false;
  if (event->type() == QEvent::KeyPress) {
    switch (static_cast<QKeyEvent*>(event)->key()) {
      case Qt::Key_Return:
      case Qt::Key_Enter:
        emit commitData(editor);
        emit closeEditor(editor, SubmitModelCache);
        return true;
      case Qt::Key_Escape: emit closeEditor(editor, RevertModelCache); return true;
      case Qt::Key_Tab:
      case Qt::Key_Backtab: return false;  // the focus moves on; the field stays as it is
      default: break;
    }
  }
  // The base class commits and closes the field when the focus leaves it.
  if (event->type() == QEvent::FocusOut) return false;
  return QStyledItemDelegate::eventFilter(object, event);
}

void GroupRowDelegate::updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                                            const QModelIndex&) const {
  editor->setGeometry(option.rect.adjusted(kPadding + kIconSize + 4, 2, -kPadding, -2));
}

}  // namespace parlowvista
