// The yardstick for the launcher's start: the least a Qt Widgets program does to show a window with text.
#include <QApplication>
#include <QLabel>

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  QLabel label(QStringLiteral("Enter the code given to you by the Velloran Technician"));
  label.show();
  return QApplication::exec();
}
