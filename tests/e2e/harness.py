"""Drives the real tolvane-downloader from outside, as an operator would: under its own
Xvfb display, with real X input through xdotool (typed text, keys, mouse clicks and drags,
WM_DELETE_WINDOW), against the portal-standin executable. It watches what the program
leaves behind: the stand-in's request and notification records, the database (opened
read-only), the files and their hidden mark, and debug.log. It reads the window's texts
through the accessibility bridge (Display.start_accessibility, App.elements) and finds
the window's controls where its layout puts them (WindowLayout). Every step and every failure leaves a
screenshot (import -window root) in the run's output folder.

Used by the end-to-end cases (cases.py) and by the demo without a screen (tools/demo).
"""

import errno
import hashlib
import json
import os
import shutil
import signal
import sqlite3
import subprocess
import sys
import time
import urllib.request
from xml.sax.saxutils import escape as xml_escape

SCREEN = "1600x1000x24"
HIDDEN_ATTRIBUTE = "user.tolvane.hidden"
DATABASE_NAME = "orvdownloader.4.sqlite"
# The main window's title starts with this; while a DCP downloads, " — 42%" follows it.
MAIN_WINDOW_TITLE = "Tolvane Downloader 1.4.0"

# Exit status of a case that cannot run here (a tool is missing); CTest reports it skipped.
SKIPPED = 77


class Failure(Exception):
    pass


def size_text(size):
    """A size as the window writes it: two decimals and the unit (bytes, kB, MB, GB)."""
    for limit, divisor, unit in ((1 << 10, 1, "bytes"), (1 << 20, 1 << 10, "kB"), (1 << 30, 1 << 20, "MB")):
        if size < limit:
            return "%.2f %s" % (size / divisor, unit)
    return "%.2f GB" % (size / (1 << 30))


def require_tools():
    """The programs and modules the harness needs; a missing one skips the case."""
    missing = [tool for tool in ("Xvfb", "xdotool", "import", "dbus-daemon", "dbus-send") if shutil.which(tool) is None]
    try:
        import Xlib  # noqa: F401  (python3-xlib, for WM_DELETE_WINDOW)
    except ImportError:
        missing.append("python3-xlib")
    try:
        import pyatspi  # noqa: F401  (python3-pyatspi, to read the window's texts)
    except ImportError:
        missing.append("python3-pyatspi")
    except Exception:  # imported, but no bus to talk to yet: present all the same
        pass
    return missing


def wait_until(condition, timeout, what, interval=0.05, on_poll=None):
    """Polls condition() until it returns a true value, which is returned; fails after timeout."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if on_poll:
            on_poll()
        if time.monotonic() > deadline:
            raise Failure("timed out after %.0f s waiting for %s" % (timeout, what))
        time.sleep(interval)


def stop_process(process):
    """SIGTERM, and SIGKILL for one that does not end within 10 s."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def sha1_file(path):
    digest = hashlib.sha1()
    with open(path, "rb") as file:
        for block in iter(lambda: file.read(1 << 20), b""):
            digest.update(block)
    return digest.digest()


def is_hidden(path):
    try:
        return os.getxattr(path, HIDDEN_ATTRIBUTE) == b"1"
    except OSError as error:
        if error.errno == errno.ENODATA:
            return False
        raise


class Run:
    """One case's output folder: its screenshots and its step log."""

    def __init__(self, out_dir, display=None):
        self.out = os.path.abspath(out_dir)
        self.display = display
        self.shots = 0
        self.last_shot = None
        os.makedirs(self.out, exist_ok=True)

    def path(self, *parts):
        return os.path.join(self.out, *parts)

    def screenshot(self, label):
        if not self.display:
            return None
        self.shots += 1
        name = "%02d-%s.png" % (self.shots, "".join(c if c.isalnum() else "-" for c in label.lower()).strip("-"))
        target = self.path(name)
        result = subprocess.run(["import", "-window", "root", target], env=self.display.env(),
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=30)
        if result.returncode != 0:
            print("  (screenshot failed: %s)" % result.stderr.decode(errors="replace").strip(), flush=True)
            return None
        self.last_shot = target
        return target

    def step(self, text):
        shot = self.screenshot(text)
        print("[%s] %s%s" % (time.strftime("%H:%M:%S"), text, ("  -> " + os.path.basename(shot)) if shot else ""),
              flush=True)


def write_bus_config(folder):
    """A session bus configuration of the tests' own, listening in folder. The standard one
    lists the system's service folders, so an installed notification daemon (dunst,
    xfce4-notifyd, ...) would be started on demand in place of the tests' service, or where a
    case wants none. Its one service folder offers only the accessibility bus."""
    services = os.path.join(folder, "services")
    os.makedirs(services, exist_ok=True)
    accessibility = "/usr/share/dbus-1/services/org.a11y.Bus.service"
    if os.path.exists(accessibility):
        shutil.copy(accessibility, services)
    config = os.path.join(folder, "session.conf")
    with open(config, "w") as file:
        file.write("""<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <keep_umask/>
  <listen>unix:tmpdir=%s</listen>
  <auth>EXTERNAL</auth>
  <servicedir>%s</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
""" % (xml_escape(folder), xml_escape(services)))
    return config


class Display:
    """An Xvfb server on a display number it picks itself (-displayfd), so runs never collide."""

    def __init__(self, log_path):
        read_end, write_end = os.pipe()
        self.log = open(log_path, "ab")
        self.process = subprocess.Popen(
            # -noreset: a server that resets when its last client leaves refuses the next
            # program started right after one closed.
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", SCREEN, "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_end,), stdout=self.log, stderr=subprocess.STDOUT)
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + 20
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_end)
        if not number.strip().isdigit():
            self.stop()
            raise Failure("Xvfb did not start (see %s)" % log_path)
        self.name = ":" + number.strip().decode()
        self.bus = None
        self.bus_address = None
        self.accessible = False
        self.notification_service = None
        self.notification_record = None

    def start_bus(self, log_path):
        """A D-Bus session of this display's own (once): programs started on the display use it."""
        if self.bus:
            return
        # The bus's sockets go into the runtime folder: one per display, so that cases
        # running side by side keep apart.
        runtime = os.path.join(os.path.dirname(os.path.abspath(log_path)), "bus-runtime")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        env = self.env()
        env["XDG_RUNTIME_DIR"] = runtime
        config = write_bus_config(runtime)
        self.bus = subprocess.Popen(["dbus-daemon", "--config-file=" + config, "--nofork", "--print-address=1"],
                                    env=env, stdout=subprocess.PIPE, stderr=open(log_path, "ab"))
        line = self.bus.stdout.readline().decode().strip()
        if not line:
            raise Failure("the D-Bus session did not start (see %s)" % log_path)
        self.bus_address = line

    def start_notifications(self, build_dir, record_path, log_path):
        """The tests' own desktop notification service on the display's D-Bus session: it
        writes every notification it is asked to show as a JSON line to record_path."""
        self.start_bus(log_path)
        env = self.env()
        self.notification_record = record_path
        self.notification_service = subprocess.Popen(
            [os.path.join(build_dir, "tests", "desktop", "test-notification-service"), "--record", record_path],
            env=env, stdout=subprocess.PIPE, stderr=open(log_path, "ab"))
        if self.notification_service.stdout.readline().decode().strip() != "ready":
            raise Failure("the notification service did not start (see %s)" % log_path)

    def desktop_notifications(self):
        """What the notification service was asked to show, oldest first."""
        try:
            with open(self.notification_record) as file:
                return [json.loads(line) for line in file if line.strip()]
        except FileNotFoundError:
            return []

    def start_accessibility(self, log_path):
        """A D-Bus session of its own, so that programs started on this display show their
        texts through the accessibility bridge (read with accessible_texts())."""
        self.start_bus(log_path)
        self.accessible = True
        # Qt's bridge connects only when it finds the accessibility bus already there; it
        # does not start it.
        subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                        "org.a11y.Bus.GetAddress"], env=self.env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=30, check=True)

    def env(self):
        env = dict(os.environ)
        env["DISPLAY"] = self.name
        env.pop("WAYLAND_DISPLAY", None)
        env.pop("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", None)
        if self.bus_address:
            env["DBUS_SESSION_BUS_ADDRESS"] = self.bus_address
            if self.accessible:
                env["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1"
        else:
            env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        return env

    def accessible_texts(self, pid):
        """Every named element the process shows, with its place on the screen; [] while the
        bridge does not answer."""
        result = subprocess.run([sys.executable, "-B", os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                                     "accessible_texts.py"), str(pid)],
                                env=self.env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        if result.returncode != 0:
            return []
        try:
            return json.loads(result.stdout.decode() or "[]")
        except ValueError:
            return []

    def xdotool(self, *args, check=True):
        result = subprocess.run(["xdotool"] + [str(a) for a in args], env=self.env(), stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, timeout=60)
        if check and result.returncode != 0:
            raise Failure("xdotool %s failed: %s" % (" ".join(map(str, args)), result.stderr.decode().strip()))
        return result.stdout.decode()

    def windows(self, pid):
        """The visible top-level windows of a process, as (id, title) pairs."""
        found = []
        for line in self.xdotool("search", "--onlyvisible", "--pid", pid, check=False).split():
            title = self.xdotool("getwindowname", line, check=False).strip()
            found.append((int(line), title))
        return found

    def window(self, pid, title, prefix=False):
        """The process's window with this title (or, with prefix, whose title starts with it)."""
        for window, name in self.windows(pid):
            if name == title or (prefix and name.startswith(title)):
                return window
        return None

    def geometry(self, window):
        values = {}
        for line in self.xdotool("getwindowgeometry", "--shell", window).splitlines():
            key, _, value = line.partition("=")
            values[key] = int(value) if value.isdigit() else value
        return values

    def painted(self, window):
        """True once the window shows more than its background (a freshly mapped window is black)."""
        result = subprocess.run(["import", "-window", str(window), "-format", "%[fx:maxima]", "info:"],
                                env=self.env(), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=30)
        try:
            return float(result.stdout.decode().strip() or 0) > 0.5
        except ValueError:
            return False

    def focus(self, window):
        self.xdotool("windowfocus", "--sync", window)

    def type(self, text):
        self.xdotool("type", "--delay", "15", text)

    def key(self, *keys):
        self.xdotool("key", "--delay", "30", *keys)

    def close_window(self, window):
        """Asks the window to close, as a window manager's close button does."""
        from Xlib import X, display
        from Xlib.protocol import event
        connection = display.Display(self.name)
        try:
            target = connection.create_resource_object("window", window)
            protocols = connection.intern_atom("WM_PROTOCOLS")
            delete = connection.intern_atom("WM_DELETE_WINDOW")
            if delete not in (target.get_wm_protocols() or []):
                raise Failure("window %d does not take WM_DELETE_WINDOW" % window)
            message = event.ClientMessage(window=target, client_type=protocols,
                                          data=(32, [delete, X.CurrentTime, 0, 0, 0]))
            target.send_event(message, event_mask=X.NoEventMask)
            # A round trip, not a flush: the server has handled the request before the
            # connection closes.
            connection.sync()
        finally:
            connection.close()

    def stop(self):
        stop_process(self.process)
        if self.notification_service:
            stop_process(self.notification_service)
            self.notification_service.stdout.close()
        if self.bus:
            # The accessibility bus launcher it started ends with it.
            stop_process(self.bus)
            self.bus.stdout.close()
        self.log.close()


class Standin:
    """The portal-standin executable: portal, notification service and asset server."""

    def __init__(self, build_dir, run, assets, accounts, extra_config=None):
        self.run = run
        config = {"accounts": accounts}
        config.update(extra_config or {})
        config_path = run.path("standin.json")
        with open(config_path, "w") as file:
            json.dump(config, file, indent=1)
        self.notification_log = run.path("notifications.log")
        self.out = open(run.path("standin.out"), "wb")
        self.err = open(run.path("standin.err"), "wb")
        self.process = subprocess.Popen(
            [os.path.join(build_dir, "tools", "portal-standin"), "--port", "0", "--assets", assets,
             "--config", config_path, "--notification-log", self.notification_log],
            stdout=self.out, stderr=self.err)
        self.base = wait_until(self._base_url, 20, "the stand-in portal's address")

    def _base_url(self):
        if self.process.poll() is not None:
            raise Failure("the stand-in portal ended: " + open(self.run.path("standin.err")).read())
        with open(self.run.path("standin.out")) as file:
            line = file.readline().strip()
        return line if line.startswith("http://") else None

    def _call(self, path, body=None):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.base + path, data=data, method="GET" if body is None else "POST",
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=30) as reply:
            return json.loads(reply.read().decode())

    def control(self, what, body):
        return self._call("/_control/" + what, body)

    def asset_requests(self):
        """Requests for the order's files; the window's cover pictures are not among them."""
        return [request for request in self._call("/_control/asset-requests")
                if not request["url_path"].endswith("/poster.jpg")]

    def notifications(self):
        return self._call("/_control/notifications")

    def authentications(self):
        return self._call("/_control/authenticate-requests")

    def stop(self):
        stop_process(self.process)
        self.out.close()
        self.err.close()


class Database:
    """The program's database, opened read-only for every look."""

    def __init__(self, data_dir):
        self.path = os.path.join(data_dir, DATABASE_NAME)

    def query(self, sql, parameters=()):
        if not os.path.exists(self.path):
            return []
        connection = sqlite3.connect("file:%s?mode=ro" % self.path, uri=True, timeout=10)
        try:
            return connection.execute(sql, parameters).fetchall()
        finally:
            connection.close()

    def try_query(self, sql, parameters=()):
        """None while the database cannot be read (locked, or a journal left by a killed writer)."""
        try:
            return self.query(sql, parameters)
        except sqlite3.Error:
            return None

    def assets(self):
        rows = self.try_query(
            "SELECT a.uuid, a.size, a.hash, a.directory_path, a.original_filename, a.download_started,"
            " a.download_finished, a.download_checksummed, a.download_corrupted, a.download_attempts,"
            " d.download_path, d.title FROM asset a JOIN dcp d ON d.uuid = a.dcp_uuid ORDER BY a.id")
        if rows is None:
            return None
        assets = []
        for row in rows:
            folder = os.path.join(row[10], row[11])
            path = os.path.join(folder, row[3], row[4]) if row[3] else os.path.join(folder, row[4])
            assets.append({"uuid": row[0], "size": row[1], "hash": row[2], "path": path, "started": bool(row[5]),
                           "finished": bool(row[6]), "checksummed": bool(row[7]), "corrupted": bool(row[8]),
                           "attempts": row[9]})
        return assets

    def reel_assets(self):
        """reel uuid -> asset uuids, from the link table."""
        rows = self.try_query("SELECT reel_uuid, asset_uuid FROM dcp_reel_asset")
        if rows is None:
            return None
        reels = {}
        for reel, asset in rows:
            reels.setdefault(reel, set()).add(asset)
        return reels

    def notifications(self):
        rows = self.try_query(
            "SELECT reel_uuid, campaign_dcp_id, reel_number, event, reel_assets_hash, synced FROM notification"
            " ORDER BY id")
        if rows is None:
            return None
        return [{"reel": r[0], "campaign": r[1], "reel_number": r[2], "event": r[3], "hash": r[4],
                 "synced": bool(r[5])} for r in rows]

    def setting(self, key):
        rows = self.try_query("SELECT value FROM setting WHERE key = ?", (key,))
        return rows[0][0] if rows else None


class App:
    """One run of the built tolvane-downloader on the display, isolated by its environment."""

    def __init__(self, build_dir, run, display, standin, data_dir, home, label, arguments=(), executable=None):
        """data_dir None: the program chooses its data folder itself (no TOLVANE_DATA_DIR)."""
        self.run = run
        self.display = display
        self.data_dir = data_dir
        self.label = label
        self.home = home
        tmp = os.path.join(home, "tmp")
        runtime = os.path.join(home, "runtime")
        for folder in (tmp, runtime) + ((data_dir,) if data_dir else ()):
            os.makedirs(folder, exist_ok=True)
        os.chmod(runtime, 0o700)
        env = display.env()
        env.pop("TOLVANE_DATA_DIR", None)
        env.pop("XDG_DATA_HOME", None)
        if data_dir:
            env["TOLVANE_DATA_DIR"] = data_dir
        env.update({
            "TOLVANE_PORTAL_URL": standin.base,
            "TOLVANE_NOTIFICATION_URL": standin.base,
            # Qt's single-instance key files live in the temporary folder: one per case.
            "TMPDIR": tmp,
            "HOME": home,
            "XDG_RUNTIME_DIR": runtime,
            "QT_QPA_PLATFORM": "xcb",
        })
        env.pop("QT_QUICK_BACKEND", None)
        self.output = open(run.path("app-%s.out" % label), "wb")
        self.process = subprocess.Popen([executable or os.path.join(build_dir, "tolvane-downloader")] + list(arguments),
                                        env=env,
                                        stdout=self.output, stderr=subprocess.STDOUT)
        self.pid = self.process.pid

    def alive(self):
        return self.process.poll() is None

    def window(self, title, timeout=30, on_poll=None, prefix=False):
        def find():
            if not self.alive():
                raise Failure("%s ended (exit %s) while waiting for the window \"%s\""
                              % (self.label, self.process.returncode, title))
            return self.display.window(self.pid, title, prefix)
        return wait_until(find, timeout, "the window \"%s\" of %s" % (title, self.label), on_poll=on_poll)

    # What the window shows, read through the accessibility bridge (the display needs
    # start_accessibility() before the program starts).

    def elements(self, role=None, name=None, prefix=None):
        """The elements on screen, optionally those of a role, a name or a name's start."""
        return [e for e in self.display.accessible_texts(self.pid)
                if (role is None or e["role"] == role) and (name is None or e["name"] == name)
                and (prefix is None or e["name"].startswith(prefix))]

    def wait_element(self, what, timeout=30, on_poll=None, **criteria):
        """The first element that matches, once there is one."""
        def find():
            if not self.alive():
                raise Failure("%s ended while waiting for %s" % (self.label, what))
            found = self.elements(**criteria)
            return found[0] if found else None
        return wait_until(find, timeout, what, interval=0.2, on_poll=on_poll)

    def layout(self):
        """The main window's layout where it is now on the screen."""
        window = self.main_window()
        menus = self.elements(role="menu bar")
        return WindowLayout(self.display.geometry(window), menus[0]["height"] if menus else 0)

    def card_text(self, layout, index=0):
        """The text on a card's progress bar, found where the layout puts that bar."""
        bar = layout.card_bar(index)
        texts = [e["name"] for e in self.elements(role="label") if WindowLayout.inside(e, bar)]
        return texts[0] if texts else None

    def wait_card_completed(self, size, timeout=30):
        """The first card reads Completed and the DCP's size (it does once the last event of
        its last reel was acknowledged)."""
        layout = self.layout()
        expected = "Completed " + size_text(size)
        seen = []

        def completed():
            text = self.card_text(layout)
            if not seen or seen[-1] != text:
                seen.append(text)
            return text == expected
        try:
            wait_until(completed, timeout, "the card to read \"%s\"" % expected, interval=0.3)
        except Failure:
            raise Failure("the card never read \"%s\"; it read %s" % (expected, seen))
        self.run.step("the card reads \"%s\"" % expected)

    def click(self, x, y):
        # No --sync: it waits for a motion, and there is none when the pointer is there already.
        self.display.xdotool("mousemove", int(x), int(y), "click", "1")

    def drag(self, x1, y1, x2, y2):
        """Presses the left button at one point, moves in steps to the other and lets go."""
        steps = []
        for i in range(1, 5):
            steps += ["mousemove", int(x1 + (x2 - x1) * i / 4), int(y1 + (y2 - y1) * i / 4), "sleep", "0.05"]
        self.display.xdotool("mousemove", int(x1), int(y1), "sleep", "0.1", "mousedown", "1", "sleep", "0.1",
                             *steps, "mouseup", "1")

    def click_element(self, element):
        self.click(element["x"] + element["width"] / 2, element["y"] + element["height"] / 2)

    def log(self):
        if not self.data_dir:
            return ""
        try:
            with open(os.path.join(self.data_dir, "debug.log"), "rb") as file:
                return file.read().decode("utf-8", errors="replace")
        except FileNotFoundError:
            return ""

    def log_contains(self, text):
        return text in self.log()

    def wait_exit(self, timeout):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure("%s did not end within %.0f s" % (self.label, timeout))

    def kill(self):
        """SIGKILL: no handler runs, nothing is flushed or closed by the program."""
        os.kill(self.pid, signal.SIGKILL)
        self.process.wait(10)

    def freeze(self):
        os.kill(self.pid, signal.SIGSTOP)

    def thaw(self):
        os.kill(self.pid, signal.SIGCONT)

    def stop(self):
        if self.alive():
            self.thaw()
            self.process.kill()
            self.process.wait(10)
        self.output.close()

    # The operator's steps.

    def log_in(self, username, password, remembered=False):
        """Types into the login dialog and presses Enter. With no remembered user name the
        user name field has the focus; with one, it is filled in and the password field has it."""
        login = self.window("Login")
        self.display.focus(login)
        if not remembered:
            self.display.key("ctrl+a")
            self.display.type(username)
            self.display.key("Tab")
        return self._enter_password(login, password, "login typed")

    def retype_password(self, password):
        """After a refused login the password field still has the focus and the typed text."""
        login = self.window("Login")
        self.display.focus(login)
        return self._enter_password(login, password, "password typed again")

    def _enter_password(self, login, password, step):
        self.display.key("ctrl+a")
        self.display.type(password)
        self.run.step("%s: %s" % (self.label, step))
        self.display.key("Return")
        return login

    def choose_folder(self, folder):
        dialog = self.window("Select download location for your DCP")
        self.display.focus(dialog)
        self.display.key("ctrl+a")
        self.display.type(folder)
        self.run.step("%s: destination typed into the folder dialog" % self.label)
        self.display.key("Return")

    def confirm_local_drive_if_asked(self, database, timeout=30):
        """A destination on a fixed local disk brings a warning (OK is its default). The box
        comes before the package's size is logged; once the DCP is stored it did not come."""
        untitled = "tolvane-downloader"

        def settled():
            if self.display.window(self.pid, untitled):
                return "box"
            if database.try_query("SELECT uuid FROM dcp"):
                return "stored"
            if not self.alive():
                raise Failure("%s ended during the import" % self.label)
            return None
        outcome = wait_until(settled, timeout, "the import to ask or store")
        if outcome == "box":
            if "[DCPXMLReader] Project size:" in self.log():
                raise Failure("an unexpected box after the disk checks")
            box = self.display.window(self.pid, untitled)
            self.display.focus(box)
            self.run.step("%s: local hard drive warning" % self.label)
            self.display.key("Return")
            wait_until(lambda: database.try_query("SELECT uuid FROM dcp"), timeout, "the DCP to be stored")

    def main_window(self, timeout=60):
        window = self.window(MAIN_WINDOW_TITLE, timeout, prefix=True)
        wait_until(lambda: self.display.painted(window), timeout, "the main window's first picture", interval=0.2)
        return window


class WindowLayout:
    """Where the main window's parts are on the screen, from the window's place and size:
    under the menu bar, the navigation bar 100 px wide on the left; right of it the body
    with its 133 px top bar, then the grid 10 px inside (cells 210 x 435, cards 200 x 400,
    each with its 20 px progress bar 5 px inside the card's bottom); the status bar, 34 px
    high, along the bottom right of the navigation bar. Rectangles are (x, y, width, height)."""

    NAV_WIDTH = 100
    TOP_BAR = 133
    GRID_MARGIN = 10
    CELL = (210, 435)
    CARD = (200, 400)
    STATUS_BAR = 34

    def __init__(self, geometry, menu_height):
        self.x = geometry["X"]
        self.y = geometry["Y"]
        self.width = geometry["WIDTH"]
        self.height = geometry["HEIGHT"]
        self.top = self.y + menu_height

    def nav_bar(self):
        return (self.x, self.top, self.NAV_WIDTH, self.y + self.height - self.top)

    def status_bar(self):
        return (self.x + self.NAV_WIDTH, self.y + self.height - self.STATUS_BAR, self.width - self.NAV_WIDTH,
                self.STATUS_BAR)

    def card(self, index=0):
        """The index-th card of the grid's first row."""
        return (self.x + self.NAV_WIDTH + self.GRID_MARGIN + index * self.CELL[0],
                self.top + self.TOP_BAR + self.GRID_MARGIN, self.CARD[0], self.CARD[1])

    def card_bar(self, index=0):
        x, y, width, height = self.card(index)
        return (x + 5, y + height - 5 - 20, width - 10, 20)

    @staticmethod
    def inside(element, rectangle, slack=2):
        """True when the element lies within the rectangle (give or take slack pixels)."""
        x, y, width, height = rectangle
        return (element["x"] >= x - slack and element["y"] >= y - slack
                and element["x"] + element["width"] <= x + width + slack
                and element["y"] + element["height"] <= y + height + slack)


class Order:
    """A generated DCP, packed for the stand-in, with what it should become on disk."""

    def __init__(self, build_dir, run, assets_dir, title, reels, size, key, base_url, seed, campaign=1001,
                 subtitles=True):
        os.makedirs(assets_dir, exist_ok=True)
        pack = os.path.join(build_dir, "tools", "orvdcp-pack")
        self.title = title
        self.folder = os.path.join(assets_dir, title)
        if not os.path.isdir(self.folder):
            command = [pack, "generate", "--out", assets_dir, "--title", title, "--reels", str(reels),
                       "--size", str(size), "--seed", str(seed)]
            if subtitles:
                command.append("--subtitles")
            subprocess.run(command, check=True, stdout=subprocess.DEVNULL, timeout=600)
        self.package = run.path("order.orvdcp")
        subprocess.run([pack, "pack", "--key", key, "--base-url", base_url + "/assets/{dcp}", "--out", self.package,
                        "--campaign-dcp-id", str(campaign), self.folder], check=True, stdout=subprocess.DEVNULL,
                       timeout=120)
        self.campaign = campaign

    def source(self, asset_path):
        """The served file that an asset's download should equal."""
        relative = asset_path.split("/" + self.title + "/", 1)[1]
        return os.path.join(self.folder, relative)

    def served_path(self, asset_path):
        """The stand-in's name of an asset's file (its request records and faults use it)."""
        return self.title + "/" + asset_path.split("/" + self.title + "/", 1)[1]


class Watch:
    """Checks that hold at every moment of a run, called on every poll: no file of a reel is
    visible before every event of that reel, its verification among them, was acknowledged."""

    def __init__(self, database):
        self.database = database
        self.looks = 0

    def __call__(self):
        assets = self.database.assets()
        if assets is None:
            return
        # Files first, events after: an event acknowledged in between only makes the check
        # more lenient, never wrong (events are acknowledged before their files are revealed).
        visible = []
        for asset in assets:
            try:
                if not is_hidden(asset["path"]):
                    visible.append(asset)
            except FileNotFoundError:
                continue
        if not visible:
            self.looks += 1
            return
        reels = self.database.reel_assets()
        events = self.database.notifications()
        if reels is None or events is None:
            return
        self.looks += 1
        for asset in visible:
            for reel, members in reels.items():
                if asset["uuid"] not in members:
                    continue
                rows = [e for e in events if e["reel"] == reel]
                if not rows or not all(e["synced"] for e in rows) or not any(e["event"] == 8 for e in rows):
                    raise Failure("%s is visible before the events of reel %s were acknowledged: %s"
                                  % (asset["path"], reel, rows))


class Case:
    """The pieces of one case, stopped in reverse order whatever happens."""

    def __init__(self, build_dir, out_dir):
        self.build = os.path.abspath(build_dir)
        self.run = Run(out_dir)
        self.display = None
        self.standin = None
        self.apps = []

    def __enter__(self):
        self.display = Display(self.run.path("xvfb.log"))
        self.run.display = self.display
        return self

    def start_standin(self, assets, accounts, extra_config=None):
        self.standin = Standin(self.build, self.run, assets, accounts, extra_config)
        return self.standin

    def start_app(self, data_dir, home, label, arguments=(), executable=None):
        app = App(self.build, self.run, self.display, self.standin, data_dir, home, label, arguments, executable)
        self.apps.append(app)
        return app

    def __exit__(self, kind, value, trace):
        if value is not None:
            self.run.screenshot("failure")
            print("FAILED: %s" % value, flush=True)
            for app in self.apps:
                tail = app.log().splitlines()[-25:]
                if tail:
                    print("--- last lines of %s's debug.log" % app.label)
                    print("\n".join(tail))
                    break
        for app in reversed(self.apps):
            app.stop()
        if self.standin:
            self.standin.stop()
        if self.display:
            self.display.stop()
        if value is not None and not isinstance(value, Failure):
            return False
        if value is not None:
            sys.exit(1)
        return False
