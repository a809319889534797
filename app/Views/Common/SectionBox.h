#pragma once

#include <QGroupBox>

class QVBoxLayout;

namespace parlowvista {

class ThemedLabel;

// A titled box of settings rows whose title carries an icon (a globe for the service, a key or a
// terminal for the connection). The title row is part of the box's content, drawn in the text
// colour; the box's accessible name is its title.
class SectionBox : public QGroupBox {
  Q_OBJECT
 public:
  SectionBox(const QString& title, const QString& iconName, QWidget* parent = nullptr);

  // The column the box's rows go in, under the title row (12 px apart, 4 px padding).
  QVBoxLayout* rows() const { return m_rows; }
  void setIconName(const QString& iconName);
  ThemedLabel* iconLabel() const { return m_icon; }

 private:
  QVBoxLayout* m_rows;
  ThemedLabel* m_icon;
};

}  // namespace parlowvista
