#!/usr/bin/python3
"""The real program on a real AT-SPI bus, read by a client of the bus as a screen reader reads it.

Run inside a D-Bus session of its own (dbus-run-session); it starts the accessibility bus and
its registry (at-spi2-core), an Xvfb display with a window manager, and the program with a
status.json it rewrites. It checks the roles, names, texts and states a screen reader finds;
that every change of the heading reaches the bus as a shown notification (the event Orca
speaks), the attention state with its message; that the elapsed line sends nothing; and that
Return presses "Close status" once it is shown.

    dbus-run-session -- /usr/bin/python3 tests/atspi_test.py PROGRAM
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

import gi

gi.require_version("Atspi", "2.0")
import pyatspi  # noqa: E402
from gi.repository import GLib  # noqa: E402

PROGRAM = sys.argv[1]
TITLE = "Updating Orvandale to 4.2"
ELLIPSIS = "\u2026"
LONG = 30  # seconds: ample for anything that is waited for, on a loaded machine

failures = []
passes = 0


def check(condition, what):
    global passes
    if condition:
        passes += 1
    else:
        failures.append(what)
        print("FAILED:", what, flush=True)
    return condition


def wait_for(condition, seconds=LONG):
    """Runs the main loop (which delivers the bus's events) until condition() holds."""
    context = GLib.MainContext.default()
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        if not context.iteration(False):
            time.sleep(0.01)
    return True


def write_status(directory, status):
    temporary = os.path.join(directory, "status.json.tmp")
    with open(temporary, "w") as file:
        json.dump(status, file)
    os.rename(temporary, os.path.join(directory, "status.json"))


def start_display():
    """An Xvfb display of our own, with openbox managing its windows."""
    read, write = os.pipe()
    xvfb = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write), "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
        pass_fds=[write], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write)
    with os.fdopen(read) as numbers:
        display = ":" + numbers.readline().strip()
    os.environ["DISPLAY"] = display
    manager = subprocess.Popen(["openbox"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # The window manager is ready once it has named itself on the root window; a window mapped
    # before that is never focused.
    def managed():
        found = subprocess.run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], capture_output=True, text=True)
        return "window id" in found.stdout
    wait_for(managed)
    return [manager, xvfb]


class Events:
    """The bus's events, as a screen reader's listener receives them."""

    TYPES = ["object:state-changed", "object:property-change", "object:text-changed", "focus:",
             "object:children-changed", "window:activate"]

    def __init__(self):
        self.seen = []
        for kind in self.TYPES:
            pyatspi.Registry.registerEventListener(self.on_event, kind)

    def on_event(self, event):
        try:
            source = event.source
            entry = (event.type, event.detail1, source.getRoleName(), source.name or "", source.description or "")
        except Exception:  # the source went away before it could be read
            return
        self.seen.append(entry)

    def notifications(self):
        return [(name, description) for kind, shown, role, name, description in self.seen
                if kind == "object:state-changed:showing" and shown == 1 and role == "notification"]


def find(root, predicate):
    if predicate(root):
        return root
    for child in root:
        if child is not None:
            found = find(child, predicate)
            if found is not None:
                return found
    return None


def application():
    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and app.name == "OrvandaleUpdateProgress":
            return app
    return None


def text_of(accessible):
    text = accessible.queryText()
    return text.getText(0, text.characterCount)


def states_of(accessible):
    accessible.clearCache()
    return {pyatspi.stateToString(state) for state in accessible.getState().getStates()}


def elements(frame):
    """The window's elements by what they are, as a screen reader tells them apart."""
    def by_role(role, name=None):
        return find(frame, lambda a: a.getRole() == role and (name is None or a.name == name))
    labels = [child for child in _all(frame) if child.getRole() == pyatspi.ROLE_LABEL]
    return {
        "heading": by_role(pyatspi.ROLE_HEADING),
        "detail": next((label for label in labels if label.name), None),
        "elapsed": next((label for label in labels if not label.name), None),
        "spinner": by_role(pyatspi.ROLE_PROGRESS_BAR),
        "button": by_role(pyatspi.ROLE_PUSH_BUTTON, "Close status"),
    }


def _all(root):
    for child in root:
        if child is not None:
            yield child
            yield from _all(child)


def main():
    started = []
    directory = tempfile.mkdtemp()
    try:
        started.append(subprocess.Popen(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        started += start_display()
        events = Events()

        with open(os.path.join(directory, "session.json"), "w") as file:
            json.dump({"version": "4.2", "parentPid": os.getpid(), "startedAt": int(time.time() * 1000)}, file)
        write_status(directory, {"phase": "preparing"})
        environment = dict(os.environ, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        program = subprocess.Popen([PROGRAM, directory], env=environment,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        started.append(program)

        frame = None

        def window_found():
            nonlocal frame
            app = application()
            frame = app and find(app, lambda a: a.getRole() == pyatspi.ROLE_FRAME and a.name == TITLE)
            return frame is not None
        if not check(wait_for(window_found), "the status window appears on the accessibility bus"):
            return
        check(frame.description == "Status of the Orvandale update", "the window is described as the update's status")

        # Preparing: every element with its role, name, text and states.
        shown = elements(frame)
        for name, element in shown.items():
            check(element is not None, "the window holds its %s" % name)
        if None in shown.values():
            return
        check(text_of(shown["heading"]) == "Preparing update" + ELLIPSIS, "the heading's text is readable")
        check(shown["detail"].name == text_of(shown["detail"])
              == "Closing Orvandale safely. Your shows and settings will be kept.", "the detail reads as a label")
        check(wait_for(lambda: re.fullmatch(r"Elapsed: \d+m \d+s", text_of(shown["elapsed"])) is not None),
              "the elapsed line is readable through the Text interface")
        check(shown["spinner"].name == "Update progress", "the spinner is named for what it shows")
        check({"busy", "indeterminate", "showing"} <= states_of(shown["spinner"]), "the turning spinner is busy")
        check("showing" not in states_of(shown["button"]), "the hidden button is not shown")

        # A progress phase: its heading is announced, without its detail.
        write_status(directory, {"phase": "installing"})
        check(wait_for(lambda: ("Installing update" + ELLIPSIS, "") in events.notifications()),
              "the installing heading is announced")

        # The attention state: announced with its message, after the button took the focus.
        message = "Disk full. Free 2 GB and try again."
        write_status(directory, {"phase": "error", "message": message})
        check(wait_for(lambda: ("Update needs attention", message) in events.notifications()),
              "the attention heading is announced with its message")
        focus = [i for i, e in enumerate(events.seen) if e[0] == "object:state-changed:focused" and e[1] == 1
                 and e[2] == "push button"]
        alert = [i for i, e in enumerate(events.seen) if e[0] == "object:state-changed:showing" and e[1] == 1
                 and e[3] == "Update needs attention"]
        check(focus and alert and focus[0] < alert[0], "the button took the focus before the announcement")
        check(len(events.notifications()) == 2, "each heading change is announced once: %s" % events.notifications())
        check({"focused", "is default", "showing"} <= states_of(shown["button"]),
              "the shown button is focused and the default button")
        check("busy" not in states_of(shown["spinner"]), "the stopped spinner is not busy")

        # Several seconds have passed: the elapsed line sent nothing of its own.
        # (It is shown with the window, as every element is.)
        from_labels = [e for e in events.seen if e[2] == "label" and not e[3]
                       and not e[0].startswith("object:state-changed:showing")]
        check(from_labels == [], "the elapsed line sends no event: %s" % from_labels[:3])

        # Return presses the focused default button, which ends the program.
        subprocess.run(["xdotool", "key", "Return"], check=False)
        try:
            status = program.wait(LONG)
        except subprocess.TimeoutExpired:
            status = None
        check(status == 0, "Return on \"Close status\" ends the program (exit status %s)" % status)
        if status is not None:
            output, errors = program.communicate()
            check(output + errors == b"", "the program printed nothing")
    finally:
        for process in reversed(started):
            if process.poll() is None:
                process.kill()
                process.wait()
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    main()
    print("%d passed, %d failed" % (passes, len(failures)))
    sys.exit(1 if failures else 0)
