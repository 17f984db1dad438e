#pragma once

#include <QObject>

#include "platform/thread.h"

namespace zvq {

// The main-thread side of the thread facility over Qt's event loop: a worker's hand-over posts a queued
// invocation to this object, which drains the FIFO on the GUI thread. Construct it on the GUI thread.
class QtMainThreadDispatcher final : public QObject, public platform::MainThreadDispatcher {
  Q_OBJECT

 public:
  QtMainThreadDispatcher();
  // Waits for every worker still alive: none may post into a dispatcher that is gone.
  ~QtMainThreadDispatcher() override;

 protected:
  void Wake() override;
};

}  // namespace zvq
