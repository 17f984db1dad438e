#pragma once

#include <windows.h>

namespace zvq {

// Marks a control as a polite live region, so UI Automation screen readers (Narrator) speak a change of its
// text without the focus moving there, and takes the mark off again when it goes. The mark is an annotation
// the system's accessibility proxy reads; where the annotation service is missing or declines, the control
// still raises its name-change events and Marked() says false. Main thread only.
class PoliteLiveRegion {
 public:
  explicit PoliteLiveRegion(HWND AControl) noexcept;
  ~PoliteLiveRegion();
  PoliteLiveRegion(const PoliteLiveRegion&) = delete;
  PoliteLiveRegion& operator=(const PoliteLiveRegion&) = delete;

  bool Marked() const noexcept { return FMarked; }

 private:
  HWND FControl;
  // The annotation service is a COM object; this thread joins a single-threaded apartment for as long as the
  // mark lives, unless it already belongs to another.
  bool FApartmentJoined = false;
  bool FMarked = false;
};

}  // namespace zvq
