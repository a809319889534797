#include "Views/Workspace/SegmentRowDelegate.h"

#include "Views/Common/ColorContrast.h"
#include "Views/Common/Icons.h"
#include "Views/Common/Theme.h"
#include "Views/Common/ThemedLabel.h"
#include "Views/Workspace/SegmentListModel.h"
#include "Views/Workspace/SegmentRowEditor.h"
#include "Views/Workspace/WorkspaceStyle.h"

#include <QHelpEvent>
#include <QListView>
#include <QPainter>
#include <QPainterPath>
#include <QTextLayout>
#include <QToolTip>
#include <QtMath>

namespace parlowvista {

namespace {

constexpr int kPadding = 10;
constexpr int kSpacing = 12;
constexpr int kButton = 16;

QFont badgeFont(const QFont& base) {
  QFont f = captionFont(base);
  f.setBold(true);
  return f;
}

// The segment's text laid out in `width`: wrapped between words, and inside a word that is
// longer than the row (a URL, a long token), which would otherwise run out of the row.
void layOutBody(QTextLayout& layout, int width) {
  QTextOption option(Qt::AlignLeft | Qt::AlignTop);
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  layout.setTextOption(option);
  layout.beginLayout();
  qreal y = 0;
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(width);
    line.setPosition(QPointF(0, y));
    y += line.height();
  }
  layout.endLayout();
}

QString bodyText(const QString& text) {
  QString shown = text;
  return shown.replace(QLatin1Char('\n'), QChar::LineSeparator);
}

int bodyHeight(const QFont& font, int width, const QString& text) {
  QTextLayout layout(bodyText(text), font);
  layOutBody(layout, width);
  return qCeil(layout.boundingRect().height());
}

}  // namespace

SegmentRowDelegate::SegmentRowDelegate(QListView* view) : QStyledItemDelegate(view), m_view(view) {}

const SegmentRowDelegate::Measures& SegmentRowDelegate::measures() const {
  const QFont& font = m_view->font();
  if (m_measures.badgeHeight > 0 && m_measures.font == font) return m_measures;
  // Heights measured in another font no longer hold.
  m_heights.clear();
  m_measures = Measures{font,
                        QFontMetrics(badgeFont(font)).height(),
                        QFontMetrics(monospacedCaptionFont(font)).height(),
                        QFontMetrics(font).height(),
                        {}};
  return m_measures;
}

SegmentRowDelegate::Geometry SegmentRowDelegate::geometry(const QRect& frame, const QModelIndex& index) const {
  return geometry(frame, index.data(SegmentListModel::SpeakerNameRole).toString());
}

SegmentRowDelegate::Geometry SegmentRowDelegate::geometry(const QRect& frame, const QString& name) const {
  const Measures& m = measures();
  auto badgeWidth = m.badgeWidths.constFind(name);
  if (badgeWidth == m.badgeWidths.cend())
    badgeWidth = m_measures.badgeWidths.insert(name, QFontMetrics(badgeFont(m.font)).horizontalAdvance(name));
  Geometry g;
  g.frame = frame;
  const QRect content = frame.adjusted(kPadding, kPadding, -kPadding, -kPadding);
  g.play = QRect(content.left(), content.top(), 20, 20);
  g.badge = QRect(g.play.right() + 1 + kSpacing, content.top(), *badgeWidth + 16, m.badgeHeight + 8);
  // The cancel button's place is kept while not editing, so the text keeps its width.
  const int cancelLeft = content.right() + 1 - kButton;
  g.edit = QRect(cancelLeft - kSpacing - kButton, content.top() + 2, kButton, kButton);
  g.retranscribe = QRect(g.edit.left() - kSpacing - kButton, content.top() + 2, kButton, kButton);
  g.text = QRect(QPoint(g.badge.right() + 1 + kSpacing, content.top()),
                 QPoint(g.retranscribe.left() - kSpacing - 1, content.bottom()));
  g.time = QRect(g.text.left(), g.text.top(), g.text.width(), m.timeHeight);
  g.body = QRect(QPoint(g.text.left(), g.time.bottom() + 1 + 4), g.text.bottomRight());
  g.editor = QRect(QPoint(g.text.left(), content.top()), content.bottomRight());
  return g;
}

SegmentRowDelegate::Part SegmentRowDelegate::hit(const QRect& frame, const QModelIndex& index, const QPoint& at) const {
  const Geometry g = geometry(frame, index);
  if (g.play.adjusted(-4, -4, 4, 4).contains(at)) return Part::play;
  if (g.badge.contains(at)) return Part::badge;
  if (g.retranscribe.adjusted(-4, -4, 4, 4).contains(at)) return Part::retranscribe;
  if (g.edit.adjusted(-4, -4, 4, 4).contains(at)) return Part::edit;
  // The whole text column takes clicks, not only the glyphs.
  if (g.text.contains(at)) return Part::text;
  return Part::none;
}

QSize SegmentRowDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex& index) const {
  const int frameWidth = std::max(200, m_view->viewport()->width() - 2 * m_view->spacing());
  const QUuid id = index.data(SegmentListModel::SegmentIdRole).toUuid();
  const QString text = index.data(Qt::DisplayRole).toString();
  const QString name = index.data(SegmentListModel::SpeakerNameRole).toString();
  const Measures& m = measures();
  int contentHeight = 0;
  auto cached = m_heights.find(id);
  if (cached != m_heights.end() && cached->width == frameWidth && cached->text == text && cached->name == name) {
    contentHeight = cached->height;
  } else {
    const int width = geometry(QRect(0, 0, frameWidth, 100), name).text.width();
    const int textHeight = bodyHeight(m.font, width, text);
    contentHeight = std::max({20, m.badgeHeight + 8, m.timeHeight + 4 + std::max(textHeight, m.bodyLineHeight)});
    m_heights.insert(id, Height{frameWidth, text, name, contentHeight});
  }
  if (m_editor && id == m_editingId) contentHeight = std::max(contentHeight, m_editor->preferredHeight());
  return QSize(frameWidth, contentHeight + 2 * kPadding);
}

QIcon SegmentRowDelegate::icon(const QString& name, const QColor& colour) const {
  const QString key = name + colour.name(QColor::HexArgb);
  auto it = m_icons.find(key);
  if (it == m_icons.end()) it = m_icons.insert(key, Icons::icon(workspace::symbolPath(name), colour));
  return *it;
}

void SegmentRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
  const QPalette& pal = option.palette;
  const Geometry g = geometry(option.rect, index);
  const QUuid id = index.data(SegmentListModel::SegmentIdRole).toUuid();
  const bool editing = m_editor && id == m_editingId;
  const bool playing = index.data(SegmentListModel::IsPlayingRole).toBool();
  const bool audioPlaying = index.data(SegmentListModel::IsAudioPlayingRole).toBool();
  const bool retranscribing = index.data(SegmentListModel::IsRetranscribingRole).toBool();
  const QColor base = pal.color(QPalette::Base);
  const QColor accent = workspace::accentColor(pal);

  QColor fill = workspace::controlBackgroundColor(pal);
  QColor border = Qt::transparent;
  if (editing) {
    fill = mixed(base, QColor(255, 204, 0), 0.1);
    border = QColor(255, 204, 0);
  } else if (playing) {
    fill = mixed(base, accent, 0.15);
    border = accent;
  }
  // Secondary text as the theme gives it, kept readable on this row's own fill.
  const QColor secondary =
      withContrast(Theme::color(ThemeColor::secondaryText, pal, QPalette::Base), fill, Theme::textContrast);

  painter->save();
  painter->setRenderHint(QPainter::Antialiasing);
  QPainterPath path;
  path.addRoundedRect(QRectF(option.rect).adjusted(1, 1, -1, -1), 8, 8);
  painter->fillPath(path, fill);
  if (border.alpha() > 0) painter->strokePath(path, QPen(border, 2));
  if (option.state & QStyle::State_HasFocus && m_view->hasFocus()) {
    // Inside the edge, where the playing row's own accent border would hide it.
    QPainterPath ring;
    ring.addRoundedRect(QRectF(option.rect).adjusted(4, 4, -4, -4), 6, 6);
    painter->strokePath(ring, QPen(withContrast(accent, fill, Theme::largeContrast), 1, Qt::DotLine));
  }

  // Play button.
  const QString playSymbol = playing ? (audioPlaying ? "pause.fill" : "play.fill") : "play.circle";
  icon(playSymbol, playing ? withContrast(accent, fill, Theme::textContrast) : secondary).paint(painter, g.play);

  // Speaker badge.
  const QColor speaker = index.data(SegmentListModel::SpeakerColorRole).value<QColor>();
  const QColor badgeFill = mixed(fill, speaker, 0.2);
  QPainterPath capsule;
  capsule.addRoundedRect(QRectF(g.badge), g.badge.height() / 2.0, g.badge.height() / 2.0);
  painter->fillPath(capsule, badgeFill);
  painter->setFont(badgeFont(option.font));
  painter->setPen(withContrast(speaker, badgeFill, Theme::textContrast));
  painter->drawText(g.badge, Qt::AlignCenter, index.data(SegmentListModel::SpeakerNameRole).toString());

  if (!editing) {
    painter->setFont(monospacedCaptionFont(option.font));
    painter->setPen(secondary);
    painter->drawText(g.time, Qt::AlignLeft | Qt::AlignVCenter, index.data(SegmentListModel::TimeRangeRole).toString());
    painter->setFont(option.font);
    if (retranscribing) {
      painter->setPen(secondary);
      const QRect spinner(g.body.left(), g.body.top() + 2, 12, 12);
      painter->setPen(QPen(secondary, 2));
      painter->drawArc(spinner, 90 * 16, 270 * 16);
      painter->drawText(g.body.adjusted(20, 0, 0, 0), Qt::AlignLeft | Qt::AlignTop, "Re-transcribing...");
    } else {
      painter->setPen(pal.color(QPalette::Text));
      QTextLayout body(bodyText(index.data(Qt::DisplayRole).toString()), option.font);
      layOutBody(body, g.body.width());
      body.draw(painter, g.body.topLeft());
    }
    if (retranscribing) {
      painter->setPen(QPen(secondary, 2));
      painter->drawArc(g.retranscribe.adjusted(2, 2, -2, -2), 90 * 16, 270 * 16);
    } else {
      const QColor c = m_canRetranscribe && !m_readOnly ? secondary : mixed(fill, secondary, 0.4);
      icon("arrow.clockwise", c).paint(painter, g.retranscribe);
    }
    if (!m_readOnly) icon("pencil", secondary).paint(painter, g.edit);
  }
  painter->restore();
}

QWidget* SegmentRowDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem&,
                                          const QModelIndex& index) const {
  auto* editor =
      new SegmentRowEditor(index.data(SegmentListModel::SegmentIdRole).toUuid(), index.data(Qt::DisplayRole).toString(),
                           index.data(SegmentListModel::TimeRangeRole).toString(), m_canRetranscribe, parent);
  emit editorCreated(editor);
  return editor;
}

void SegmentRowDelegate::updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                                              const QModelIndex& index) const {
  editor->setGeometry(geometry(option.rect, index).editor);
}

QString SegmentRowDelegate::toolTip(Part part, const QModelIndex& index) const {
  switch (part) {
    case Part::play:
      return index.data(SegmentListModel::IsPlayingRole).toBool() &&
                     index.data(SegmentListModel::IsAudioPlayingRole).toBool()
                 ? QStringLiteral("Pause")
                 : QStringLiteral("Play from here");
    case Part::badge: return m_readOnly ? QString() : QStringLiteral("Edit speaker or reassign");
    case Part::retranscribe: return m_readOnly ? QString() : QStringLiteral("Re-transcribe this segment");
    case Part::edit: return m_readOnly ? QString() : QStringLiteral("Edit text");
    case Part::text:
    case Part::none: break;
  }
  return {};
}

bool SegmentRowDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                                   const QModelIndex& index) {
  if (event->type() != QEvent::ToolTip || !index.isValid()) {
    return QStyledItemDelegate::helpEvent(event, view, option, index);
  }
  const QString text = toolTip(hit(option.rect, index, event->pos()), index);
  if (text.isEmpty()) {
    QToolTip::hideText();
  } else {
    QToolTip::showText(event->globalPos(), text, view->viewport(), option.rect);
  }
  return true;
}

void SegmentRowDelegate::setEditingRow(const QUuid& id, SegmentRowEditor* editor) {
  m_editingId = id;
  m_editor = editor;
}

void SegmentRowDelegate::rowHeightChanged(const QModelIndex& index) {
  emit sizeHintChanged(index);
}

}  // namespace parlowvista
