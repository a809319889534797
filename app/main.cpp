#include <QApplication>
#include <QMainWindow>

int main(int argc, char** argv) {
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication app(argc, argv);
  QApplication::setOrganizationName("Parlowvista");
  QApplication::setApplicationName("Parlowvista");
  QMainWindow window;
  window.setWindowTitle("Parlowvista");
  window.resize(1200, 700);
  window.show();
  return QApplication::exec();
}
