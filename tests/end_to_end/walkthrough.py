#!/usr/bin/python3
"""The end-to-end walkthrough: the demo hub driven the way a user drives it, through its accessibility tree.

Run by tests/end_to_end/run, which provides the display, the session and accessibility buses, a running
stand-in service and a fresh demo root. Every step waits on what the window shows (polling the tree with a
deadline), saves a screenshot, and on failure prints the tree and the last screenshot's path.

Environment: HVX_E2E_WORK (the work folder: root/, service/), HVX_E2E_OUT (screenshots and the browser's
files), HVX_DEMO_ROOT and HVX_API_BASE_URL (for the hub), BROWSER (tests/end_to_end/browser.py).
"""

import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pyatspi

WORK = Path(os.environ["HVX_E2E_WORK"])
OUT = Path(os.environ["HVX_E2E_OUT"])
ROOT = WORK / "root"
HOME = ROOT / "home"
SERVICE = WORK / "service"
BUNDLE = HOME / "Applications" / "HALVEX HUB.app"
EXECUTABLE = BUNDLE / "Contents" / "MacOS" / "HalvexHub"
DATA = HOME / ".local" / "share" / "Halvex"
DEADLINE = float(os.environ.get("HVX_E2E_DEADLINE", "60"))
SEARCH_PROMPT = "Search plugins by name, category or artist"
USER_CODE = re.compile(r"[BCDFGHJKLMNPQRSTVWXZ]{4}-[BCDFGHJKLMNPQRSTVWXZ]{4}")


class StepFailed(Exception):
    pass


class Hub:
    """One running hub window process and its accessibility tree."""

    def __init__(self, pid):
        self.pid = pid
        self.app = None

    @staticmethod
    def start():
        environment = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_QUICK_BACKEND="software")
        log = open(OUT / "hub.log", "ab")
        process = subprocess.Popen([str(EXECUTABLE)], env=environment, stdout=log, stderr=log,
                                   start_new_session=True)
        return Hub(process.pid)

    def application(self):
        if self.app is None:
            desktop = pyatspi.Registry.getDesktop(0)
            for index in range(desktop.childCount):
                candidate = desktop.getChildAtIndex(index)
                try:
                    if candidate is not None and candidate.get_process_id() == self.pid:
                        self.app = candidate
                        break
                except Exception:
                    continue
        return self.app

    def nodes(self):
        """Every showing node of the window, depth first."""
        app = self.application()
        if app is None:
            return
        stack = [app]
        while stack:
            node = stack.pop()
            try:
                yield node
                states = node.getState()
                if node is not app and not states.contains(pyatspi.STATE_SHOWING):
                    continue
                stack.extend(reversed([node.getChildAtIndex(i) for i in range(node.childCount)]))
            except Exception:
                continue  # the tree changes while it is walked

    def find(self, role, name):
        """The first showing node with `role` (any role for None) whose name or description equals `name` (a
        string) or matches it (a regex)."""
        for node in self.nodes():
            try:
                if role is not None and node.getRoleName() != role:
                    continue
                if not node.getState().contains(pyatspi.STATE_SHOWING):
                    continue
                for label in (node.name or "", node.description or ""):
                    if (label == name) if isinstance(name, str) else name.search(label):
                        return node
            except Exception:
                continue
        return None

    def dump(self):
        lines = []

        def visit(node, depth):
            try:
                lines.append(f"{'  ' * depth}[{node.getRoleName()}] {node.name!r}")
                for index in range(node.childCount):
                    visit(node.getChildAtIndex(index), depth + 1)
            except Exception as error:
                lines.append(f"{'  ' * depth}(unreadable: {error})")

        app = self.application()
        if app is None:
            return "(the hub has no accessible application)"
        visit(app, 0)
        return "\n".join(lines)

    def running(self):
        try:
            os.kill(self.pid, 0)
        except ProcessLookupError:
            return False
        return not Path(f"/proc/{self.pid}/stat").read_text().split(") ")[1].startswith("Z")


def wait_for(what, probe, deadline=DEADLINE):
    """Polls `probe` every 100 ms until it gives something truthy; fails the step with `what` otherwise."""
    until = time.monotonic() + deadline
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() > until:
            raise StepFailed(f"timed out after {deadline:.0f} s waiting for {what}")
        time.sleep(0.1)


def click(node):
    extents = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    pyatspi.Registry.generateMouseEvent(extents.x + extents.width // 2, extents.y + extents.height // 2, "b1c")


class Walkthrough:
    def __init__(self):
        self.hub = None
        self.last_screenshot = None
        self.timings = []

    def screenshot(self, name):
        path = OUT / f"{name}.png"
        subprocess.run(["scrot", "-o", str(path)], check=True)
        self.last_screenshot = path

    def press(self, role, name):
        node = wait_for(f'{role} "{name}"', lambda: self.hub.find(role, name))
        click(node)

    def shows(self, role, name, deadline=DEADLINE):
        return wait_for(f'{role or "anything"} showing "{name if isinstance(name, str) else name.pattern}"',
                        lambda: self.hub.find(role, name), deadline)

    def search(self, text):
        """Types `text` into the library's search field, so that the row wanted is on screen."""
        field = wait_for("the search field", lambda: self.hub.find("text", SEARCH_PROMPT))
        click(field)
        pyatspi.Registry.generateKeyboardEvent(0, text, pyatspi.KEY_STRING)
        wait_for(f'the search field to hold "{text}"', lambda: text in field_text(field))

    # 1. welcome → "Log In or Sign Up" → the activation code → the browser approves → the library.
    def sign_in(self):
        self.hub = Hub.start()
        wait_for("the hub's accessible application", self.hub.application)
        self.shows("push button", "Log In or Sign Up")
        self.screenshot("1-welcome")
        self.press("push button", "Log In or Sign Up")
        code_node = self.shows(None, USER_CODE)
        window_code = USER_CODE.search(code_node.name).group(0)
        self.screenshot("1-activation-code")
        (OUT / "window-code").write_text(window_code + "\n")
        page_code = wait_for("the browser to load the sign-in page",
                             lambda: read(OUT / "page-code"))
        if page_code != window_code:
            raise StepFailed(f"the page shows {page_code}, the window {window_code}")
        wait_for("the browser's approval", lambda: read(OUT / "browser-result") == "HALVEX HUB is signed in")
        self.shows("push button", "Sign Out")
        self.screenshot("1-library")

    # 2. install a plugin in three formats: progress, then its status; bundles, seals and receipt on disk.
    def install(self):
        self.press("push button", "Install public 1.2.0")
        self.shows("progress bar", re.compile(""))
        self.screenshot("2-installing")
        self.shows(None, "Purchased · Public 1.2.0 installed")
        self.screenshot("2-installed")
        for bundle in ("Aurora.vst3", "Aurora.component", "Aurora.clap"):
            found = list(ROOT.rglob(bundle))
            if len(found) != 1 or not (found[0] / "Contents" / "_CodeSignature" / "seal.p7s").is_file():
                raise StepFailed(f"{bundle}: expected one sealed bundle in the demo root, found {found}")
        receipt = DATA / "InstalledReleases" / (hashlib.sha256(b"com.halvex.auroradelay").hexdigest() + ".json")
        if not receipt.is_file():
            raise StepFailed(f"no receipt at {receipt}")

    # 3. "Update All" with the summary notice; then with a running host: staged, restart, finished on quit.
    def update(self):
        self.press("push button", "Update All")
        self.shows(None, "1 plugin updates installed.")
        # The catalogue's public release stays 1.2.0 (listed first); 1.3.0 came as the newest update.
        self.shows(None, "Purchased · 1.3.0 installed")
        self.screenshot("3-updated")

        host = start_host()
        try:
            offer_release(SERVICE / "extras" / "aurora-delay-1.4.0.json")
            self.press("push button", "Refresh")
            self.press("push button", "Update All")
            self.shows(None, "1 update downloaded and verified. Close your DAW to finish installing.")
            self.shows(None, "1.4.0 ready · Restart your DAW to finish")
            self.screenshot("3-staged")
        finally:
            host.terminate()
            host.wait()
        self.shows(None, "Purchased · 1.4.0 installed", deadline=10)
        self.screenshot("3-finished")

    # 4. a damaged release (one flipped byte): the error in the notice, the plugin folders unchanged.
    def damaged(self):
        archive = SERVICE / "files" / "releases" / "glacier-eq-1.0.0.zip"
        with open(archive, "r+b") as file:
            file.seek(archive.stat().st_size // 2)
            byte = file.read(1)
            file.seek(-1, os.SEEK_CUR)
            file.write(bytes([byte[0] ^ 0x01]))
        before = plugin_folders()
        self.search("Glacier")
        self.press("push button", "Install public 1.0.0")
        self.shows(None, re.compile("The downloaded update did not match its signed checksum."))
        self.screenshot("4-damaged")
        if plugin_folders() != before:
            raise StepFailed("the plugin folders changed after a damaged release")

    # 5. the hub update: "Install and Restart" closes the window, the new version opens, autostart names it.
    def hub_update(self):
        (SERVICE / "hub-latest.json.later").rename(SERVICE / "hub-latest.json")
        version = json.loads((SERVICE / "hub-latest.json").read_text())["version"]
        self.press("push button", "Refresh")
        self.shows(None, f"HUB {version} is available")
        self.screenshot("5-hub-update")
        old = self.hub
        self.press("push button", "Install and Restart")
        wait_for("the old window to close", lambda: not old.running(), deadline=120)
        self.hub = Hub(wait_for("the new hub version to open", lambda: window_process(exclude=old.pid)))
        wait_for("the new hub's accessible application", self.hub.application)
        self.shows("push button", "Sign Out")
        self.screenshot("5-new-version")
        installed = plist_version(BUNDLE / "Contents" / "Info.plist")
        if installed != version:
            raise StepFailed(f"the installed hub is {installed}, not {version}")
        entry = HOME / ".config" / "autostart" / "com.halvex.hub.agent.desktop"
        if not entry.is_file() or str(EXECUTABLE) not in entry.read_text():
            raise StepFailed(f"the autostart entry does not name {EXECUTABLE}")

    # 6. sign out → the welcome screen.
    def sign_out(self):
        self.press("push button", "Sign Out")
        self.shows("push button", "Log In or Sign Up")
        self.screenshot("6-signed-out")

    def run(self):
        steps = [("sign in", self.sign_in), ("install", self.install), ("update", self.update),
                 ("damaged release", self.damaged), ("hub update", self.hub_update), ("sign out", self.sign_out)]
        selected = os.environ.get("HVX_E2E_STEPS")
        started = time.monotonic()
        for number, (name, step) in enumerate(steps, 1):
            if selected and str(number) not in selected.split(","):
                continue
            begun = time.monotonic()
            try:
                step()
            except Exception as error:
                print(f"FAILED step {number} ({name}): {error}", file=sys.stderr)
                if self.hub is not None:
                    print("Accessibility tree of the hub:\n" + self.hub.dump(), file=sys.stderr)
                try:
                    self.screenshot(f"{number}-failed")
                except Exception:
                    pass
                print(f"Last screenshot: {self.last_screenshot}", file=sys.stderr)
                return 1
            print(f"step {number} ({name}): {time.monotonic() - begun:.1f} s", flush=True)
        print(f"walkthrough passed in {time.monotonic() - started:.1f} s; screenshots in {OUT}", flush=True)
        return 0


def field_text(node):
    try:
        return node.queryText().getText(0, -1)
    except Exception:
        return ""


def read(path):
    return path.read_text().strip() if path.exists() else ""


def start_host():
    """A small program inside an application bundle named like an audio host."""
    bundle = WORK / "Hosts" / "REAPER.app" / "Contents"
    (bundle / "MacOS").mkdir(parents=True, exist_ok=True)
    (bundle / "Info.plist").write_text(
        '<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict>'
        "<key>CFBundleIdentifier</key><string>com.cockos.reaper</string>"
        "<key>CFBundleExecutable</key><string>REAPER</string>"
        "<key>CFBundleName</key><string>REAPER</string></dict></plist>\n")
    shutil.copy("/usr/bin/sleep", bundle / "MacOS" / "REAPER")
    return subprocess.Popen([str(bundle / "MacOS" / "REAPER"), "600"])


def offer_release(record_file):
    catalogue_file = SERVICE / "catalog.json"
    catalogue = json.loads(catalogue_file.read_text())
    catalogue["releases"].append(json.loads(record_file.read_text()))
    staged = catalogue_file.with_name(".catalog.json")
    staged.write_text(json.dumps(catalogue, indent=2))
    staged.replace(catalogue_file)


def plugin_folders():
    """Every path below the demo root's plugin folders with its size: what a damaged release must not touch."""
    items = {}
    for folder in (ROOT / "usr", HOME / ".clap", HOME / ".vst3", HOME / ".local" / "share" / "Audio"):
        if folder.exists():
            for path in folder.rglob("*"):
                items[str(path)] = path.stat().st_size if path.is_file() else -1
    return items


def window_process(exclude):
    """The pid of a hub window (no mode argument) running the demo root's hub, other than `exclude`."""
    target = os.path.realpath(EXECUTABLE)
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit() or int(entry.name) == exclude:
            continue
        try:
            if os.path.realpath(entry / "exe") != target:
                continue
            arguments = (entry / "cmdline").read_bytes().split(b"\0")[1:]
        except OSError:
            continue
        if not any(argument.startswith(b"--") for argument in arguments):
            return int(entry.name)
    return None


def plist_version(path):
    match = re.search(r"<key>CFBundleShortVersionString</key>\s*<string>([^<]+)</string>", path.read_text())
    return match.group(1) if match else None


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    wait_for("the accessibility bus", accessibility_ready, deadline=30)
    walkthrough = Walkthrough()
    try:
        return walkthrough.run()
    finally:
        if walkthrough.hub is not None and walkthrough.hub.running():
            os.kill(walkthrough.hub.pid, signal.SIGTERM)


def accessibility_ready():
    try:
        pyatspi.Registry.getDesktop(0)
        return True
    except Exception:
        return False


if __name__ == "__main__":
    sys.exit(main())
