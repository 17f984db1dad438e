// zvq-demo-applet: stands in for the remote-support applet the launcher downloads, starts and waits for.
// The launcher gives it no arguments and no environment of its own, so the session length for unattended
// runs comes from ZVQ_DEMO_APPLET_SECONDS in the inherited environment (or --seconds N when run by hand).
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string_view>

namespace {

constexpr std::chrono::seconds kHeadlessSession{5};

std::optional<std::chrono::seconds> ParseSeconds(std::string_view AText) {
  long long seconds = 0;
  const auto [end, error] = std::from_chars(AText.data(), AText.data() + AText.size(), seconds);
  if (AText.empty() || error != std::errc() || end != AText.data() + AText.size() || seconds < 0) {
    std::cerr << "zvq-demo-applet: ignoring a session length that is not a whole number of seconds: " << AText
              << std::endl;
    return std::nullopt;
  }
  return std::chrono::seconds(seconds);
}

// --seconds N wins over the environment; other arguments (the launcher may pass the program's own path)
// are ignored.
std::optional<std::chrono::seconds> SessionLength(int AArgc, char** AArgv) {
  for (int i = 1; i + 1 < AArgc; ++i) {
    if (std::string_view(AArgv[i]) == "--seconds") return ParseSeconds(AArgv[i + 1]);
  }
  if (const char* text = std::getenv("ZVQ_DEMO_APPLET_SECONDS"); text != nullptr) return ParseSeconds(text);
  return std::nullopt;
}

bool Set(const char* AName) {
  const char* value = std::getenv(AName);
  return value != nullptr && *value != '\0';
}

// A chosen Qt platform (offscreen included) or a display means a window can be shown.
bool CanShowWindow() { return Set("QT_QPA_PLATFORM") || Set("DISPLAY") || Set("WAYLAND_DISPLAY"); }

void Announce(const char* AWhat) {
  std::cout << "zvq-demo-applet: " << AWhat << " (process " << QCoreApplication::applicationPid()
            << ", working directory " << QDir::currentPath().toStdString() << ")" << std::endl;
}

int RunHeadless(int AArgc, char** AArgv, std::chrono::seconds ALength) {
  QCoreApplication application(AArgc, AArgv);
  Announce("support session started without a window");
  QTimer::singleShot(ALength, &application, &QCoreApplication::quit);
  const int result = application.exec();
  Announce("support session ended");
  return result;
}

int RunWindow(int AArgc, char** AArgv, std::optional<std::chrono::seconds> ALength) {
  QApplication application(AArgc, AArgv);
  QWidget window;
  window.setWindowTitle("Remote support session");
  auto* layout = new QVBoxLayout(&window);
  auto* heading = new QLabel("A remote support session is in progress.", &window);
  QFont headingFont = heading->font();
  headingFont.setBold(true);
  headingFont.setPointSizeF(headingFont.pointSizeF() * 1.3);
  heading->setFont(headingFont);
  auto* detail = new QLabel(
      "Your technician can see and control this computer until you end the session.", &window);
  detail->setWordWrap(true);
  auto* endSession = new QPushButton("End session", &window);
  endSession->setDefault(true);
  layout->addWidget(heading);
  layout->addWidget(detail);
  layout->addWidget(endSession, 0, Qt::AlignRight);
  QObject::connect(endSession, &QPushButton::clicked, &window, &QWidget::close);
  if (ALength) QTimer::singleShot(*ALength, &window, &QWidget::close);

  window.show();
  Announce("support session started");
  const int result = application.exec();  // closing the window ends the session and the event loop
  Announce("support session ended");
  return result;
}

}  // namespace

int main(int AArgc, char** AArgv) {
  const auto length = SessionLength(AArgc, AArgv);
  if (!CanShowWindow()) return RunHeadless(AArgc, AArgv, length.value_or(kHeadlessSession));
  return RunWindow(AArgc, AArgv, length);
}
