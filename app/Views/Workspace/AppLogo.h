#pragma once

#include <QWidget>

#include <memory>

class QSvgRenderer;

namespace parlowvista {

// The application's logo in a `size` by `size` square: the bundled vector image scaled to
// fit with its proportions kept, or, when it cannot be read, the waveform symbol in blue at
// 0.8 of the size.
class AppLogo : public QWidget {
  Q_OBJECT

 public:
  explicit AppLogo(double size, QWidget* parent = nullptr);
  // Another logo file (tests use a missing or broken one); empty gives the bundled logo.
  AppLogo(double size, const QString& path, QWidget* parent = nullptr);
  ~AppLogo() override;

  bool showsLogo() const;
  static QString bundledLogoPath();

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  double m_size;
  std::unique_ptr<QSvgRenderer> m_renderer;
};

}  // namespace parlowvista
