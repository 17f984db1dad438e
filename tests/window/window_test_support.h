#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/window/form_test_support.h"
#include "window/qt_form29_window.h"

namespace zvq::testing {

struct SeenBox {
  QString Title;
  QString Text;
  QMessageBox::Icon Icon;
  int ButtonCount;
  bool OkIsDefault;
};

// Answers every modal message box the window opens, shortly after it appears, and keeps what it showed.
class ModalBoxDismisser {
 public:
  ModalBoxDismisser() {
    FTimer.setInterval(5);
    QObject::connect(&FTimer, &QTimer::timeout, [this] {
      auto* Box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (Box == nullptr || !Box->isVisible()) return;
      const QList<QAbstractButton*> Buttons = Box->buttons();
      FSeen.push_back({Box->windowTitle(), Box->text(), Box->icon(), static_cast<int>(Buttons.size()),
                       Box->defaultButton() == Box->button(QMessageBox::Ok)});
      if (Box->defaultButton() != nullptr) {
        Box->defaultButton()->click();
      } else {
        Box->reject();
      }
    });
    FTimer.start();
  }

  const std::vector<SeenBox>& Seen() const { return FSeen; }

 private:
  QTimer FTimer;
  std::vector<SeenBox> FSeen;
};

// Where the launcher stages its applet during this test program (set up by the test main).
std::filesystem::path StagingFolder();
std::filesystem::path AppletReportFile();

}  // namespace zvq::testing
