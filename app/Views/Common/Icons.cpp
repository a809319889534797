#include "Views/Common/Icons.h"

#include <QFile>
#include <QIconEngine>
#include <QPainter>
#include <QPixmapCache>
#include <QSvgRenderer>

#include <cmath>

static void initBundledIcons() {
  Q_INIT_RESOURCE(icons);
}

namespace parlowvista {

namespace {

QImage tinted(const QString& name, const QColor& color, QSize pixels) {
  QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QSvgRenderer renderer(Icons::path(name));
  if (!renderer.isValid()) return image;
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(pixels)));
  painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
  painter.fillRect(image.rect(), color);
  return image;
}

class TintedIconEngine : public QIconEngine {
 public:
  TintedIconEngine(QString name, QColor normal, QColor disabled)
      : m_name(std::move(name)), m_normal(std::move(normal)), m_disabled(std::move(disabled)) {}

  void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
    const qreal dpr = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
    const QSize pixels(static_cast<int>(std::lround(rect.width() * dpr)),
                       static_cast<int>(std::lround(rect.height() * dpr)));
    painter->drawImage(rect, tinted(m_name, colorFor(mode), pixels));
  }

  QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State) override {
    return QPixmap::fromImage(tinted(m_name, colorFor(mode), size));
  }

  QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state, qreal scale) override {
    QPixmap result = pixmap(size * scale, mode, state);
    result.setDevicePixelRatio(scale);
    return result;
  }

  QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override { return size; }
  QIconEngine* clone() const override { return new TintedIconEngine(m_name, m_normal, m_disabled); }
  QString key() const override { return QStringLiteral("parlowvista-tinted"); }
  bool isNull() override { return !QFile::exists(Icons::path(m_name)); }

 private:
  QColor colorFor(QIcon::Mode mode) const { return mode == QIcon::Disabled ? m_disabled : m_normal; }

  QString m_name;
  QColor m_normal;
  QColor m_disabled;
};

}  // namespace

QPixmap Icons::pixmap(const QString& name, const QColor& color, int size, qreal devicePixelRatio) {
  initBundledIcons();
  const int pixels = static_cast<int>(std::lround(size * devicePixelRatio));
  // Lists draw the same few icons in the same colours row after row: render each once.
  const QString key = QStringLiteral("parlowvista-icon:%1:%2:%3:%4")
                          .arg(name, color.name(QColor::HexArgb))
                          .arg(pixels)
                          .arg(devicePixelRatio);
  QPixmap result;
  if (!QPixmapCache::find(key, &result)) {
    result = QPixmap::fromImage(tinted(name, color, QSize(pixels, pixels)));
    result.setDevicePixelRatio(devicePixelRatio);
    QPixmapCache::insert(key, result);
  }
  return result;
}

QIcon Icons::icon(const QString& name, const QColor& color, const QColor& disabledColor) {
  initBundledIcons();
  QColor disabled = disabledColor;
  if (!disabled.isValid()) {
    disabled = color;
    disabled.setAlphaF(0.4f);
  }
  return QIcon(new TintedIconEngine(name, color, disabled));
}

QIcon Icons::icon(const QString& name, const QPalette& palette, QPalette::ColorRole role) {
  return icon(name, palette.color(QPalette::Active, role), palette.color(QPalette::Disabled, role));
}

}  // namespace parlowvista
