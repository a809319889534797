#include "Views/Library/LibraryIcons.h"

#include <QPainter>
#include <QSvgRenderer>

static void initLibraryResources() {
  Q_INIT_RESOURCE(library);
}

namespace parlowvista {

QPixmap LibraryIcons::pixmap(const QString& name, const QColor& color, int size, qreal devicePixelRatio) {
  initLibraryResources();
  const int pixels = qRound(size * devicePixelRatio);
  QPixmap result(pixels, pixels);
  result.fill(Qt::transparent);
  QSvgRenderer renderer(QStringLiteral(":/library/%1.svg").arg(name));
  QPainter painter(&result);
  renderer.render(&painter);
  painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
  painter.fillRect(result.rect(), color);
  painter.end();
  result.setDevicePixelRatio(devicePixelRatio);
  return result;
}

QIcon LibraryIcons::icon(const QString& name, const QColor& color, int size) {
  QIcon icon;
  icon.addPixmap(pixmap(name, color, size));
  icon.addPixmap(pixmap(name, color, size * 2, 2.0));
  return icon;
}

}  // namespace parlowvista
