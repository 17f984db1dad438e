// Pictures of the real window for checking its looks: idle, code complete, each stage caption and the
// error box of a rejected code. Run under a display (xvfb-run); writes PNG files into the given folder.
// The captions are set as the window sets them; the error box comes from a real rejected run.

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <cstdio>

#include "launch/staging.h"
#include "tests/support/test_service.h"
#include "tests/window/window_test_support.h"
#include "window/fonts.h"
#include "window/qt_main_thread_dispatcher.h"

namespace {

bool Save(QWidget& AWidget, const QDir& AFolder, const QString& AName) {
  QApplication::processEvents();
  return AWidget.grab().save(AFolder.filePath(AName));
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
    return 2;
  }
  zvq::testing::TempDir Temporary;
  qputenv("TMPDIR", QByteArray::fromStdString(Temporary.Path().string()));
  zvq::PrepareStagingFolder();

  QApplication Application(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  zvq::RegisterWindowFonts();
  const QDir Folder(QString::fromLocal8Bit(argv[1]));
  if (!Folder.mkpath(QStringLiteral("."))) return 1;

  auto& Service = zvq::testing::TestService::Shared();
  Service.On("POST", "/validate", [](const httplib::Request&, httplib::Response& AResponse) {
    AResponse.set_content(R"({"error":{"type":"InvalidCodeException","message":"The code 123456789 is not valid"}})",
                          "application/json");
  });
  zvq::QtMainThreadDispatcher Dispatcher;
  zvq::QtForm29Window Form(Dispatcher, [&](std::u16string ACode, zvq::platform::MainThreadDispatcher& ADispatcher) {
    zvq::TzqServiceEndpoint Endpoint = zvq::TzqServiceEndpoint::Compiled();
    Endpoint.ValidationUrl = Service.Url("/validate");
    Endpoint.ExtraTrustAnchor = Service.CaFile().string();
    return std::make_unique<zvq::TSupportLauncherThread>(true, std::move(ACode), ADispatcher, std::move(Endpoint));
  });
  Form.show();
  if (!QTest::qWaitForWindowExposed(&Form)) return 1;

  bool Saved = Save(Form, Folder, QStringLiteral("window-idle.png"));
  QTest::keyClicks(Form.EditCode, QStringLiteral("123456789"));
  Saved = Save(Form, Folder, QStringLiteral("window-code-complete.png")) && Saved;

  // During a run Submit is disabled.
  Form.ActionSubmit->setEnabled(false);
  using zvq::TSupportThreadState;
  for (const auto Stage : {TSupportThreadState::tsValidatingCode, TSupportThreadState::tsDownloadingApplet,
                           TSupportThreadState::tsLaunchingApplet, TSupportThreadState::tsWaitingAppletShutdown,
                           TSupportThreadState::tsAppletTerminated}) {
    Form.RzFieldStatusThreadState->setText(QString::fromStdU16String(zvq::StageCaption(Stage)));
    const QString Name = QStringLiteral("window-stage-%1.png").arg(static_cast<int>(Stage));
    Saved = Save(Form, Folder, Name) && Saved;
  }
  Form.RzFieldStatusThreadState->clear();
  Form.ActionSubmit->setEnabled(true);

  // The rejected run's box, caught while it is shown and then answered.
  bool BoxSaved = false;
  QTimer BoxWatch;
  QObject::connect(&BoxWatch, &QTimer::timeout, [&] {
    auto* Box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (Box == nullptr || !Box->isVisible()) return;
    BoxSaved = Save(*Box, Folder, QStringLiteral("error-box.png"));
    Box->accept();
  });
  BoxWatch.start(50);
  QTest::keyClick(Form.EditCode, Qt::Key_Return);
  const bool Ended = QTest::qWaitFor([&] { return BoxSaved && Dispatcher.LiveWorkers() == 0; }, 10000);
  Dispatcher.WaitForWorkers();
  return Saved && Ended ? 0 : 1;
}
