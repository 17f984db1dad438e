#include "window/qt_main_thread_dispatcher.h"

#include <QMetaObject>

namespace zvq {

QtMainThreadDispatcher::QtMainThreadDispatcher() = default;

QtMainThreadDispatcher::~QtMainThreadDispatcher() { WaitForWorkers(); }

void QtMainThreadDispatcher::Wake() {
  // Safe from any thread: the call is posted as an event to this object's (the GUI) thread. Several wakes may
  // drain one batch; the later ones then find nothing to run.
  QMetaObject::invokeMethod(this, [this] { RunPending(); }, Qt::QueuedConnection);
}

}  // namespace zvq
