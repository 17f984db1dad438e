// Preloaded into a Qt program (LD_PRELOAD), so the program measured is the real one, unchanged: once the first
// paint of a widget has been flushed, prints the time since ZVQ_BENCH_START_NS (set by zvq-bench-run) and the
// number of shared objects loaded by then, and ends the process.
#include <link.h>

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

long long MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

int LoadedObjects() {
  int count = 0;
  dl_iterate_phdr(
      [](dl_phdr_info* AInfo, std::size_t, void* ACount) {
        // The main program and the vDSO have no file name of their own; only libraries count.
        if (AInfo->dlpi_name != nullptr && AInfo->dlpi_name[0] == '/') ++*static_cast<int*>(ACount);
        return 0;
      },
      &count);
  return count;
}

class FirstFrameProbe : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* AWatched, QEvent* AEvent) override {
    if (!FSeen && AEvent->type() == QEvent::Paint && AWatched->isWidgetType()) {
      FSeen = true;
      // A zero timer fires once the paint pass this event belongs to has been flushed to the window.
      QTimer::singleShot(0, [] {
        const char* start = std::getenv("ZVQ_BENCH_START_NS");
        const double seconds = start ? static_cast<double>(MonotonicNs() - std::atoll(start)) / 1e9 : -1;
        std::printf("first_frame_s=%.6f\nlibraries=%d\n", seconds, LoadedObjects());
        std::fflush(stdout);
        std::_Exit(0);
      });
    }
    return false;
  }

 private:
  bool FSeen = false;
};

void InstallFirstFrameProbe() { QCoreApplication::instance()->installEventFilter(new FirstFrameProbe(qApp)); }

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(InstallFirstFrameProbe)
