#!/usr/bin/python3
"""The real launcher as a screen reader meets it: over AT-SPI, driven by the keyboard only.

    a11y_test.py LAUNCHER

Runs inside a private D-Bus session (dbus-run-session) on a private X display, with the demo service already
listening for the launcher. Starts the launcher with Qt's AT-SPI bridge on, prints the accessibility tree as
read, and checks names, roles and focus; then an expired code (the error box, answered with Return) and the
working code, recording every caption the status pane announces until the launcher closes by itself.
Every wait is on the bus's events or the tree's state, and bounded.
"""
import os
import subprocess
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402
import pyatspi  # noqa: E402

LABEL = "Enter the code given to you by the Velloran Technician"
CAPTIONS = ["Validating Code", "Downloading remote app", "Launching remote app", "Waiting", "Shutting down"]
APPLET_SECONDS = 2


class Failure(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Failure(message)


def states(accessible):
    return accessible.getState()


def walk(accessible):
    yield accessible
    for child in accessible:
        if child is not None:
            yield from walk(child)


def describe(accessible, depth=0):
    state = states(accessible)
    flags = [name for name, value in (("focused", pyatspi.STATE_FOCUSED), ("focusable", pyatspi.STATE_FOCUSABLE),
                                      ("enabled", pyatspi.STATE_ENABLED), ("showing", pyatspi.STATE_SHOWING))
             if state.contains(value)]
    relations = [f"{pyatspi.relationToString(relation.getRelationType())} {relation.getTarget(0).name!r}"
                 for relation in accessible.getRelationSet() if relation.getNTargets() > 0]
    line = f"{'  ' * depth}[{accessible.getRoleName()}] {accessible.name!r}"
    if accessible.description:
        line += f" description={accessible.description!r}"
    line += f" ({', '.join(flags) or 'no states'})"
    if relations:
        line += f" {'; '.join(relations)}"
    lines = [line]
    for child in accessible:
        if child is not None:
            lines += describe(child, depth + 1)
    return lines


class Session:
    def __init__(self, launcher):
        self.context = GLib.MainContext.default()
        # Qt's change events carry the object, not the new text: every read asks the launcher itself.
        pyatspi.Registry.getDesktop(0).set_cache_mask(Atspi.Cache.NONE)
        self.announced = []  # (what, text) as the launcher answered when the event was handled
        for kind in ("object:property-change:accessible-name", "object:property-change:accessible-description"):
            pyatspi.Registry.registerEventListener(self.on_change, kind)
        # Listeners first, so that the bridge sends these events from its first moment.
        self.pump_until(lambda: False, 0.2)
        environment = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                           ZVQ_DEMO_APPLET_SECONDS=str(APPLET_SECONDS))
        self.launcher = subprocess.Popen([launcher], env=environment)
        self.application = None

    def on_change(self, event):
        source = event.source
        try:
            role = source.getRole()
            if event.type.endswith("accessible-name") and role == pyatspi.ROLE_LABEL \
                    and source.parent is not None and source.parent.getRole() == pyatspi.ROLE_STATUS_BAR:
                self.announced.append(("status pane", source.name))
            elif event.type.endswith("accessible-description") and role == pyatspi.ROLE_TEXT:
                self.announced.append(("code field description", source.description))
        except GLib.Error:
            pass  # gone with the window that closed


    def pump_until(self, condition, seconds, what=None):
        deadline = time.monotonic() + seconds
        # Wakes the loop now and then, so a condition outside the bus (a process that ended) is seen too.
        tick = GLib.timeout_add(50, lambda: True)
        try:
            while not condition():
                if time.monotonic() > deadline:
                    if what is None:
                        return False
                    raise Failure(f"waited {seconds} s for {what}")
                self.context.iteration(True)
            return True
        finally:
            GLib.source_remove(tick)

    def find_application(self):
        for application in pyatspi.Registry.getDesktop(0):
            if application is not None and application.name == os.path.basename(self.launcher.args[0]):
                self.application = application
                return True
        return False

    def top_level(self, name):
        for window in (self.application):
            if window is not None and window.name == name and states(window).contains(pyatspi.STATE_SHOWING):
                return window
        return None

    def find(self, root, role, name=None):
        for accessible in walk(root):
            if accessible.getRole() == role and (name is None or (accessible).name == name):
                return accessible
        return None

    def stop(self):
        if self.launcher.poll() is None:
            self.launcher.kill()
            self.launcher.wait()


def x_window(name):
    return subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--name", f"^{name}$"], check=True,
                          capture_output=True, text=True, timeout=20).stdout.split()[0]


def keys(window, *arguments):
    subprocess.run(["xdotool", "windowfocus", "--sync", window, *arguments], check=True, timeout=20)


def announced_since(session, start, what):
    texts = [text for kind, text in session.announced[start:] if kind == what]
    return [text for index, text in enumerate(texts) if index == 0 or texts[index - 1] != text]


def run(session):
    session.pump_until(lambda: session.find_application() and session.top_level("Support Launcher"), 20,
                       "the launcher's window on the accessibility bus")
    frame = session.top_level("Support Launcher")
    field = session.find(frame, pyatspi.ROLE_TEXT)
    expect(field is not None, "no text field in the window")
    # There is no window manager to activate the window: activated, it hands the keyboard to the code field.
    window = x_window("Support Launcher")
    keys(window)
    session.pump_until(lambda: states(field).contains(pyatspi.STATE_FOCUSED), 10, "the code field to have the focus")
    print("The accessibility tree at start:")
    print("\n".join(describe(session.application)))

    expect(frame.getRole() == pyatspi.ROLE_FRAME, f"the window is a {frame.getRoleName()}, not a frame")
    expect(field.name == LABEL, f"the code field is named {field.name!r}")
    labelled_by = [relation.getTarget(0) for relation in field.getRelationSet()
                   if relation.getRelationType() == pyatspi.RELATION_LABELLED_BY]
    expect(labelled_by and labelled_by[0].getRole() == pyatspi.ROLE_LABEL and labelled_by[0].name == LABEL,
           "the code field is not labelled by the label above it")
    button = session.find(frame, pyatspi.ROLE_PUSH_BUTTON, "Submit")
    expect(button is not None, "no push button named Submit")
    expect(not states(button).contains(pyatspi.STATE_FOCUSABLE), "Submit takes the focus away from the code field")
    expect(not states(button).contains(pyatspi.STATE_ENABLED), "Submit is enabled without a code")
    status_bar = session.find(frame, pyatspi.ROLE_STATUS_BAR)
    expect(status_bar is not None and status_bar.childCount == 1, "no status bar with one pane")
    pane = status_bar[0]
    expect(pane.getRole() == pyatspi.ROLE_LABEL and pane.name == "", "the status pane is not an empty label")

    # The expired code: the error box takes the keyboard, Return answers it, the field has the focus again.
    start = len(session.announced)
    keys(window, "type", "--delay", "30", "111222333")
    session.pump_until(lambda: states(button).contains(pyatspi.STATE_ENABLED), 10, "Submit enabled by nine digits")
    keys(window, "key", "Return")
    session.pump_until(lambda: session.top_level("Error") is not None, 30, "the error box")
    box = session.top_level("Error")
    print("The error box:")
    print("\n".join(describe(box)))
    expect(box.getRole() in (pyatspi.ROLE_ALERT, pyatspi.ROLE_DIALOG), f"the error box is a {box.getRoleName()}")
    ok = session.find(box, pyatspi.ROLE_PUSH_BUTTON, "OK")
    expect(ok is not None and states(ok).contains(pyatspi.STATE_FOCUSED), "the error box's OK button has no focus")
    expect(any("has expired" in item.name for item in walk(box) if item.getRole() == pyatspi.ROLE_LABEL),
           "the error box does not say that the code has expired")
    session.pump_until(lambda: "Validating Code" in announced_since(session, start, "status pane"), 10,
                       "the status pane to announce the validation")
    keys(x_window("Error"), "key", "Return")
    session.pump_until(lambda: session.top_level("Error") is None, 10, "Return to answer the error box")
    keys(window)  # what a window manager does when a window's modal box closes
    session.pump_until(lambda: states(field).contains(pyatspi.STATE_FOCUSED), 10, "the focus back in the code field")
    session.pump_until(lambda: pane.name == "", 10, "the status pane to be cleared")
    refused = announced_since(session, start, "status pane")
    print("Announced by the status pane for the expired code:", refused)
    expect(refused[-1] == "", "the cleared status pane was not announced")

    # The working code: every caption announced is a stage's, in the order of the stages, and the one that
    # lasts (the applet's session) is announced by the pane and on the focused field alike.
    start = len(session.announced)
    keys(window, "key", "ctrl+a", "type", "--delay", "30", "123456789")
    keys(window, "key", "Return")
    session.pump_until(lambda: pane.name == "Waiting", 30, "the status pane to show Waiting")
    session.pump_until(lambda: announced_since(session, start, "code field description")[-1:] == ["Waiting"], 10,
                       "Waiting announced on the focused code field")
    session.pump_until(lambda: session.launcher.poll() is not None, APPLET_SECONDS + 30,
                       "the launcher to close by itself after the applet's session")
    expect(session.launcher.returncode == 0, f"the launcher exited with status {session.launcher.returncode}")
    for what in ("status pane", "code field description"):
        captions = announced_since(session, start, what)
        print(f"Announced by the {what} for the working code:", captions)
        expect(captions and set(captions) <= set(CAPTIONS), f"the {what} announced something else: {captions}")
        order = [CAPTIONS.index(caption) for caption in captions]
        expect(order == sorted(order), f"the {what} announced the stages out of order: {captions}")
        expect("Waiting" in captions, f"the {what} did not announce the applet's session")


def main(argv):
    if len(argv) != 2:
        sys.exit(__doc__)
    session = Session(argv[1])
    try:
        run(session)
    except Failure as failure:
        print(f"FAIL: {failure}")
        if session.application is not None:
            try:
                print("\n".join(describe(session.application)))
            except Exception as error:  # the launcher may be gone
                print(f"(no tree: {error})")
        return 1
    finally:
        session.stop()
    print("PASS: accessibility")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
