#include "Views/Workspace/AppLogo.h"

#include "Views/Common/Icons.h"
#include "Views/Workspace/WorkspaceStyle.h"

#include <QPainter>
#include <QSvgRenderer>

namespace parlowvista {

QString AppLogo::bundledLogoPath() {
  // Asking for a symbol's path registers the bundled resources.
  return workspace::symbolPath("parlowvista_logo");
}

AppLogo::AppLogo(double size, QWidget* parent) : AppLogo(size, QString(), parent) {}

AppLogo::AppLogo(double size, const QString& path, QWidget* parent)
    : QWidget(parent), m_size(size), m_renderer(std::make_unique<QSvgRenderer>()) {
  m_renderer->load(path.isEmpty() ? bundledLogoPath() : path);
  setFixedSize(int(size), int(size));
  setAccessibleName("Parlowvista");
}

AppLogo::~AppLogo() = default;

bool AppLogo::showsLogo() const {
  return m_renderer->isValid();
}

void AppLogo::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  if (m_renderer->isValid()) {
    QSizeF natural = m_renderer->defaultSize();
    if (natural.isEmpty()) natural = QSizeF(m_size, m_size);
    QSizeF fitted = natural.scaled(QSizeF(m_size, m_size), Qt::KeepAspectRatio);
    const QRectF target((m_size - fitted.width()) / 2, (m_size - fitted.height()) / 2, fitted.width(), fitted.height());
    m_renderer->render(&p, target);
    return;
  }
  const double symbol = m_size * 0.8;
  const QIcon icon = Icons::icon(workspace::symbolPath("waveform.circle.fill"), QColor(0x00, 0x7A, 0xFF));
  icon.paint(&p, QRect(int((m_size - symbol) / 2), int((m_size - symbol) / 2), int(symbol), int(symbol)));
}

}  // namespace parlowvista
