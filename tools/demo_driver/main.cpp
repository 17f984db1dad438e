// zvq-demo-driver: runs the launcher's own window (compiled-in service, real worker) the way a user would,
// for demos on machines without anyone at the screen: types the code, presses Enter, prints each stage
// caption as the status pane shows it and saves a picture of the window per stage. An error box is
// printed, pictured and dismissed; the driver then closes the window and reports failure.
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <utility>

#include "launch/staging.h"
#include "window/fonts.h"
#include "window/qt_form29_window.h"
#include "window/qt_main_thread_dispatcher.h"

namespace {

constexpr std::string_view kUsage = "usage: zvq-demo-driver CODE PICTURE-FOLDER\n";
// The applet's window takes a moment to map after its process starts; the picture of the session waits for it.
constexpr std::chrono::milliseconds kAppletPictureDelay{1500};

QString FileStem(const QString& ACaption) { return ACaption.toLower().replace(QLatin1Char(' '), QLatin1Char('-')); }

// Watches every event the application delivers: the caption is compared before each one, so every text the
// pane was given is seen, even when the next stage follows at once.
class TStageWatch : public QObject {
 public:
  TStageWatch(zvq::QtForm29Window& AForm, QDir APictures) : FForm(AForm), FPictures(std::move(APictures)) {}

  bool SawError() const { return FSawError; }

  void Picture(const QString& AName, const QPixmap& APixmap) {
    const QString Path = FPictures.filePath(QStringLiteral("%1-%2.png").arg(++FPictureCount, 2, 10, QLatin1Char('0')).arg(AName));
    if (!APixmap.save(Path)) std::cerr << "zvq-demo-driver: could not save " << Path.toStdString() << std::endl;
  }

 protected:
  bool eventFilter(QObject* AWatched, QEvent* AEvent) override {
    CheckCaption();
    if (AEvent->type() == QEvent::Show) {
      if (auto* Box = qobject_cast<QMessageBox*>(AWatched)) ErrorBoxShown(*Box);
    }
    return QObject::eventFilter(AWatched, AEvent);
  }

 private:
  void CheckCaption() {
    const QString Caption = FForm.RzFieldStatusThreadState->text();
    if (Caption == FCaption) return;
    FCaption = Caption;
    if (Caption.isEmpty()) return;
    std::cout << "Stage: " << Caption.toStdString() << std::endl;
    Picture(FileStem(Caption), FForm.grab());
    const auto Waiting = zvq::StageCaption(zvq::TSupportThreadState::tsWaitingAppletShutdown);
    if (Caption == QString::fromStdU16String(Waiting)) {
      QTimer::singleShot(kAppletPictureDelay, this, [this] {
        if (QScreen* Screen = FForm.screen()) Picture(QStringLiteral("applet-session"), Screen->grabWindow(0));
      });
    }
  }

  void ErrorBoxShown(QMessageBox& ABox) {
    FSawError = true;
    std::cout << "Error box: " << ABox.text().toStdString() << std::endl;
    // Pictured and dismissed once it is on screen and its own loop runs.
    QTimer::singleShot(0, &ABox, [this, &ABox] {
      Picture(QStringLiteral("error-box"), ABox.grab());
      if (QAbstractButton* Ok = ABox.button(QMessageBox::Ok)) {
        Ok->click();
      } else {
        ABox.reject();
      }
      // The window stays open after a refused code; a demo without anyone at the screen ends here.
      QTimer::singleShot(0, &FForm, [this] { FForm.close(); });
    });
  }

  zvq::QtForm29Window& FForm;
  QDir FPictures;
  QString FCaption;
  int FPictureCount = 0;
  bool FSawError = false;
};

}  // namespace

int main(int AArgc, char* AArgv[]) {
  if (AArgc != 3) {
    std::cerr << kUsage;
    return 2;
  }
  const QString Code = QString::fromLocal8Bit(AArgv[1]);
  const QString PictureFolder = QString::fromLocal8Bit(AArgv[2]);

  zvq::PrepareStagingFolder();
  QApplication Application(AArgc, AArgv);
  if (!QDir().mkpath(PictureFolder)) {
    std::cerr << "zvq-demo-driver: cannot make " << PictureFolder.toStdString() << std::endl;
    return 2;
  }
  zvq::RegisterWindowFonts();
  zvq::QtMainThreadDispatcher Dispatcher;
  zvq::QtForm29Window Form29(Dispatcher);
  TStageWatch Watch(Form29, QDir(PictureFolder));
  Application.installEventFilter(&Watch);
  Form29.show();

  QTimer::singleShot(0, &Form29, [&] {
    if (!QTest::qWaitForWindowExposed(&Form29)) std::cerr << "zvq-demo-driver: the window was not exposed" << std::endl;
    // The window empties the staging folder shortly after it is shown; nobody types faster than that.
    if (!QTest::qWaitFor([&] { return !Form29.TimerLaunch->isActive(); })) {
      std::cerr << "zvq-demo-driver: the start-up clean-up did not run" << std::endl;
    }
    Watch.Picture(QStringLiteral("empty"), Form29.grab());
    QTest::keyClicks(Form29.EditCode, Code);
    std::cout << "Typed: " << Form29.EditCode->text().toStdString() << std::endl;
    Watch.Picture(QStringLiteral("code-typed"), Form29.grab());
    QTest::keyClick(Form29.EditCode, Qt::Key_Return);
  });

  const int ExitCode = QApplication::exec();
  Dispatcher.WaitForWorkers();
  Application.removeEventFilter(&Watch);
  return Watch.SawError() && ExitCode == 0 ? 1 : ExitCode;
}
