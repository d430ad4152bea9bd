#!/usr/bin/python3
"""End-to-end cases of the real tolvane-downloader, each on its own Xvfb display against
its own stand-in portal, driven only with real X input.

    cases.py --build BUILD_DIR --out OUTPUT_DIR CASE
    cases.py --list

Exit status: 0 passed, 1 failed, 77 skipped (a tool is missing). The output folder keeps
a screenshot of every step and of a failure, the stand-in's records and the program's
output; a passed case removes its downloaded and generated files.
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import (MAIN_WINDOW_TITLE, SKIPPED, Case, Database, Failure, Order, Watch, WindowLayout,  # noqa: E402
                     is_hidden, require_tools, sha1_file, wait_until)

ACCOUNT = {"username": "operator", "password": "pass word&1", "key": "e2e-decoding-key-0123456789abcdef0123"}
SMALL = 6_000_000          # a small order: the picture is three quarters of it
LARGE = 260_000_000        # large enough that verifying the reel takes a noticeable moment
THROTTLE = 500_000         # bytes per second for a transfer that must still run when it is interrupted
DONE_TIMEOUT = 180         # events leave one every five seconds
LIMITED = 40_000_000       # an order that takes a while at a few Mbit/s
MEGA_BIT = 125_000         # bytes per second in one Mbit/s


class Setup:
    """Folders of one case and the pieces every case starts with."""

    def __init__(self, case, title, reels=1, size=SMALL, extra_config=None, subtitles=True, readable=False):
        """readable: the window's texts can be read (through the accessibility bridge)."""
        self.case = case
        run = case.run
        if readable:
            case.display.start_accessibility(run.path("dbus.log"))
        self.data = run.path("data")
        self.home = run.path("home")
        self.downloads = run.path("downloads")
        self.assets = run.path("assets")
        os.makedirs(self.downloads, exist_ok=True)
        self.standin = case.start_standin(self.assets, [ACCOUNT], extra_config)
        self.order = Order(case.build, run, self.assets, title, reels, size, ACCOUNT["key"], self.standin.base,
                           seed=11, subtitles=subtitles)
        self.database = Database(self.data)
        self.watch = Watch(self.database)
        self.lost_acknowledgements = []

    def start(self, label, with_order=True):
        return self.case.start_app(self.data, self.home, label, [self.order.package] if with_order else [])

    def first_start(self, throttled=False):
        """Starts with the package, logs in, picks the destination and answers the import's
        box. Throttled: every file crawls, so that an interruption finds a transfer running."""
        app = self.start("first start")
        app.log_in(ACCOUNT["username"], ACCOUNT["password"])
        if throttled:
            self.throttle_all()
        app.choose_folder(self.downloads)
        app.confirm_local_drive_if_asked(self.database)
        app.main_window()
        self.case.run.step("first start: main window, the order is in the catalogue")
        return app

    def throttle_all(self):
        """Every file of the order (the catalogue does not know them before the import)."""
        for root, _, files in os.walk(self.order.folder):
            for name in files:
                relative = self.order.title + "/" + os.path.relpath(os.path.join(root, name), self.order.folder)
                self.standin.control("asset-fault", {"path": relative, "throttle_bps": THROTTLE})

    def restart(self, label):
        """The next start: log in again; the catalogue carries on by itself."""
        app = self.start(label, with_order=False)
        app.log_in(ACCOUNT["username"], ACCOUNT["password"], remembered=True)
        app.main_window()
        self.case.run.step("%s: logged in again" % label)
        return app

    def picture(self):
        assets = wait_until(self.database.assets, 30, "the catalogue's assets")
        return next(a for a in assets if os.path.basename(a["path"]).startswith("j2c_"))

    def unthrottle(self):
        self.standin.control("clear-asset-faults", {})

    def disk_sizes(self):
        sizes = {}
        for asset in self.database.assets():
            try:
                sizes[asset["path"]] = os.path.getsize(asset["path"])
            except FileNotFoundError:
                sizes[asset["path"]] = None
        return sizes

    def done(self):
        assets = self.database.assets()
        events = self.database.notifications()
        if not assets or not events:
            return False
        if not all(a["finished"] and a["checksummed"] for a in assets):
            return False
        if not all(e["synced"] for e in events):
            return False
        return all(os.path.exists(a["path"]) and not is_hidden(a["path"]) for a in assets)

    def wait_done(self, what):
        wait_until(self.done, DONE_TIMEOUT, what, interval=0.2, on_poll=self.watch)
        self.watch()
        self.case.run.step("the order is downloaded, verified, acknowledged and revealed")

    def check_finished(self):
        """Database, files and the portal's records agree on a whole, delivered order."""
        assets = self.database.assets()
        for asset in assets:
            if not (asset["finished"] and asset["checksummed"]) or asset["corrupted"] or asset["attempts"] != 0:
                raise Failure("asset not cleanly verified: %s" % asset)
            if os.path.getsize(asset["path"]) != asset["size"]:
                raise Failure("%s holds %d bytes, the packing list says %d"
                              % (asset["path"], os.path.getsize(asset["path"]), asset["size"]))
            if sha1_file(asset["path"]) != sha1_file(self.order.source(asset["path"])):
                raise Failure("%s differs from the served file" % asset["path"])
            if is_hidden(asset["path"]):
                raise Failure("%s is still hidden" % asset["path"])
        reels = self.database.reel_assets()
        events = self.database.notifications()
        for reel in reels:
            rows = [e for e in events if e["reel"] == reel]
            codes = sorted(e["event"] for e in rows)
            for needed in (1, 2, 6, 8):
                if needed not in codes:
                    raise Failure("reel %s has no event %d: %s" % (reel, needed, codes))
            if 7 in codes:
                raise Failure("reel %s failed a verification: %s" % (reel, codes))
        stored = sorted((e["campaign"], e["reel_number"], e["event"]) for e in events)
        acknowledged = self.acknowledged()
        for key in self.lost_acknowledgements:
            acknowledged.remove(key)  # acknowledged once more after the kill lost its answer
        acknowledged.sort()
        if acknowledged != stored:
            raise Failure("the portal acknowledged %s, the database holds %s" % (acknowledged, stored))
        if len(set(stored)) != len(stored):
            raise Failure("an event is stored twice: %s" % stored)

    def check_consistent(self):
        """After an interruption: what the database says of each file holds on disk."""
        try:
            assets = wait_until(self.database.assets, 5, "a readable database")
        except Failure:
            # Killed inside a transaction: its journal waits for the next start to roll it
            # back, which a read-only look cannot do. The final checks cover that start.
            print("the database holds the killed process's journal; checked after the restart", flush=True)
            return
        for asset in assets:
            size = os.path.getsize(asset["path"]) if os.path.exists(asset["path"]) else None
            if size is not None and size > asset["size"]:
                raise Failure("%s holds %d bytes, more than its %d" % (asset["path"], size, asset["size"]))
            if asset["finished"] and size != asset["size"]:
                raise Failure("%s counts as downloaded with %s of %d bytes" % (asset["path"], size, asset["size"]))
            if asset["checksummed"] and sha1_file(asset["path"]) != sha1_file(self.order.source(asset["path"])):
                raise Failure("%s counts as verified but differs from the served file" % asset["path"])
            if size is not None and size < asset["size"]:
                self.check_partial(asset)

    def check_resumed(self, sizes_at_restart, requests_before):
        """Everything fetched after the restart starts where the file on disk ended."""
        later = self.standin.asset_requests()[requests_before:]
        for asset in self.database.assets():
            served = self.order.served_path(asset["path"])
            asked = [r for r in later if r["path"] == served]
            on_disk = sizes_at_restart.get(asset["path"]) or 0
            if on_disk == asset["size"]:
                if asked:
                    raise Failure("%s was complete on disk and was fetched again: %s" % (served, asked))
                continue
            if len(asked) != 1:
                raise Failure("%s was asked for %d times after the restart: %s" % (served, len(asked), asked))
            if asked[0]["range"] != "bytes=%d-" % on_disk:
                raise Failure("%s resumed with %s, %d bytes were on disk" % (served, asked[0]["range"], on_disk))
        return later

    def close_and_wait(self, app, label):
        """Closes the main window as a window manager would; the exit code and time it took."""
        window = app.main_window()
        started = time.monotonic()
        self.case.display.close_window(window)
        code = app.wait_exit(10)
        elapsed = time.monotonic() - started
        print("close_to_exit_ms[%s]: %d" % (label, elapsed * 1000), flush=True)
        if code != 0:
            raise Failure("%s ended with %d after its window was closed" % (label, code))
        return elapsed

    def check_partial(self, asset):
        """A file cut off by an interruption holds exactly the start of the served file."""
        size = os.path.getsize(asset["path"])
        with open(asset["path"], "rb") as downloaded, open(self.order.source(asset["path"]), "rb") as served:
            if downloaded.read() != served.read(size):
                raise Failure("the partial %s is not the start of the served file" % asset["path"])
        if not is_hidden(asset["path"]):
            raise Failure("the partial %s is visible" % asset["path"])
        return size

    def wait_transfer(self, asset, at_least):
        def progressed():
            try:
                return os.path.getsize(asset["path"]) >= at_least
            except FileNotFoundError:
                return False
        wait_until(progressed, 60, "%d bytes of %s" % (at_least, os.path.basename(asset["path"])),
                   on_poll=self.watch)

    def wait_verifying(self, app):
        """Freezes the program (SIGSTOP) once it has taken the reel for verification, and shows
        from the database that it is in the middle of it: every file finished, none verified,
        event 6 stored, no result yet."""
        wait_until(lambda: app.log_contains("[ChecksumWorker] Found a job!"), 120, "the verification to start",
                   interval=0.01)
        wait_until(lambda: 6 in {e["event"] for e in self.database.notifications() or []}, 30,
                   "event 6 in the database", interval=0.005)
        for _ in range(100):
            app.freeze()
            assets = self.database.assets()
            events = self.database.notifications()
            if assets is not None and events is not None:
                break
            # Frozen while writing: let it finish the statement.
            app.thaw()
            time.sleep(0.005)
        else:
            raise Failure("the database could not be read around the start of the verification")
        codes = {e["event"] for e in events}
        if not all(a["finished"] for a in assets) or any(a["checksummed"] for a in assets) \
                or 6 not in codes or codes & {7, 8}:
            raise Failure("the program was not in the middle of verifying: %s %s" % (assets, sorted(codes)))
        self.case.run.step("frozen in the middle of verifying the reel")

    def interrupted(self, what, killed):
        """Right after an interruption: nothing visible too early, the database true to the
        files, and every acknowledgement the portal gave recorded. Only SIGKILL may lose one:
        the answer to the one event in flight, which the next start then sends again."""
        self.case.run.step(what)
        self.watch()
        self.check_consistent()
        events = self.database.notifications()
        if events is None:
            return
        recorded = {(e["campaign"], e["reel_number"], e["event"]) for e in events if e["synced"]}
        lost = [key for key in self.acknowledged() if key not in recorded]
        if len(lost) > (1 if killed else 0):
            raise Failure("acknowledgements the portal gave are not recorded after the %s: %s"
                          % ("kill" if killed else "close", lost))
        self.lost_acknowledgements += lost

    def acknowledged(self):
        """(campaign, reel number, event) of every event the portal acknowledged, in order."""
        return [(int(n["query"]["campaign_dcp_id"]), int(n["query"]["reel_number"]), int(n["query"]["event"]))
                for n in self.standin.notifications() if n["acknowledged"]]

    def finish_after_restart(self):
        """The next start, logging in again, finishes the order; nothing that was on disk is
        fetched again; the generated and downloaded files go."""
        sizes = self.disk_sizes()
        requests_before = len(self.standin.asset_requests())
        self.unthrottle()
        self.restart("second start")
        self.wait_done("the order after the restart")
        self.check_finished()
        self.check_resumed(sizes, requests_before)
        self.cleanup()

    # The window, read through the accessibility bridge and clicked where its layout puts things.

    def wait_card_completed(self, app):
        app.wait_card_completed(sum(a["size"] for a in self.database.assets()))

    def nav_button(self, app, layout, label):
        """The navigation bar's pause/resume button (the entry right under LOAD FILE)."""
        load = app.wait_element("the LOAD FILE button", role="push button", name="LOAD FILE")
        button = app.wait_element("the %s button" % label, role="push button", name=label)
        nav = layout.nav_bar()
        if not (WindowLayout.inside(load, nav) and WindowLayout.inside(button, nav)):
            raise Failure("the navigation buttons are not in the navigation bar %s: %s %s" % (nav, load, button))
        if abs(button["y"] - (load["y"] + load["height"] + 1)) > 2 or button["height"] != 80:
            raise Failure("the %s button is not the 80 px entry under LOAD FILE: %s %s" % (label, load, button))
        return button

    def status_text(self, app, layout):
        texts = [e["name"] for e in app.elements(role="label") if WindowLayout.inside(e, layout.status_bar())
                 and e["x"] > layout.x + layout.width // 2]
        return texts[0] if texts else None

    def slider(self, app, layout):
        """The speed limit slider, right of its caption in the status bar."""
        caption = app.wait_element("the speed limit caption", role="label", name="Speed limit: ")
        slider = app.wait_element("the speed limit slider", role="slider")
        bar = layout.status_bar()
        if not (WindowLayout.inside(caption, bar) and WindowLayout.inside(slider, bar)) \
                or abs(slider["x"] - (caption["x"] + caption["width"])) > 2:
            raise Failure("the slider is not right of \"Speed limit: \" in the status bar %s: %s %s"
                          % (bar, caption, slider))
        return slider

    def set_limit(self, app, slider, target, tolerance):
        """Drags the slider's handle until the limit is within tolerance of target (Mbit/s), as
        an operator does; the value it ends at. A click on the track would do for most values,
        but near the ends the handle covers the place to click."""
        handle = 16  # the handle's width: its centre travels from half of it to half of it from the end
        y = slider["y"] + slider["height"] // 2

        def handle_x(value):
            return slider["x"] + handle / 2 + (value - 1) * (slider["width"] - handle) / 199.0

        def current():
            return int(round(app.wait_element("the slider", role="slider")["value"]))

        value = current()
        for _ in range(5):
            if abs(value - target) <= tolerance:
                return value
            end = handle_x(target) if target < 200 else slider["x"] + slider["width"] + 20
            app.drag(handle_x(value), y, end, y)
            time.sleep(0.3)
            value = current()
            self.case.run.step("slider dragged to x=%d: %d Mbit/s" % (end, value))
        if abs(value - target) <= tolerance:
            return value
        raise Failure("the slider did not come near %d Mbit/s; it stays at %s" % (target, value))

    def cleanup(self):
        for folder in (self.downloads, self.assets):
            shutil.rmtree(folder, ignore_errors=True)


# ---- the cases -------------------------------------------------------------------------------

def complete_order(case):
    """A two-reel order from the package to the revealed files, its card reading Completed,
    then the window closed."""
    setup = Setup(case, "E2E Complete Feature", reels=2, readable=True)
    app = setup.first_start()
    setup.wait_done("the whole order")
    setup.check_finished()
    setup.wait_card_completed(app)
    # The window fetches the DCP's cover from the same server; every asset exactly once.
    served = sorted(setup.order.served_path(a["path"]) for a in setup.database.assets())
    fetched = sorted(r["path"] for r in setup.standin.asset_requests() if r["path"] in served)
    if fetched != served:
        raise Failure("the assets were not fetched once each: %s" % setup.standin.asset_requests())
    setup.close_and_wait(app, "idle")
    case.run.step("window closed, the program ended with 0")
    setup.cleanup()


def pause_and_resume(case):
    """PAUSE in the navigation bar stops the transfer: nothing reaches the portal while
    paused and the button reads RESUME; RESUME carries on from the bytes on disk."""
    setup = Setup(case, "E2E Paused Feature", readable=True)
    app = setup.first_start(throttled=True)
    layout = app.layout()
    picture = setup.picture()
    setup.wait_transfer(picture, 300_000)
    app.click_element(setup.nav_button(app, layout, "PAUSE"))
    resume = setup.nav_button(app, layout, "RESUME")
    wait_until(lambda: setup.status_text(app, layout) == "Paused.", 10, "the status bar to read Paused.")
    if setup.database.setting("download_paused") != "1":
        raise Failure("the pause was not saved: %r" % setup.database.setting("download_paused"))
    time.sleep(0.5)  # a chunk read before the click may still land
    requests = setup.standin.asset_requests()
    on_disk = os.path.getsize(picture["path"])
    case.run.step("paused: the button reads RESUME, the status bar Paused.")
    time.sleep(3)
    if setup.standin.asset_requests() != requests:
        raise Failure("requests reached the portal while paused: %s" % setup.standin.asset_requests()[len(requests):])
    if os.path.getsize(picture["path"]) != on_disk:
        raise Failure("the file grew from %d to %d bytes while paused" % (on_disk, os.path.getsize(picture["path"])))
    if on_disk >= picture["size"]:
        raise Failure("the picture was complete before the pause")
    setup.unthrottle()
    app.click_element(resume)
    setup.nav_button(app, layout, "PAUSE")
    later = wait_until(lambda: setup.standin.asset_requests()[len(requests):], 15, "the request after RESUME")
    case.run.step("resumed: the button reads PAUSE again")
    expected = {"path": setup.order.served_path(picture["path"]), "range": "bytes=%d-" % on_disk}
    if {"path": later[0]["path"], "range": later[0]["range"]} != expected:
        raise Failure("the transfer resumed with %s, expected %s" % (later[0], expected))
    print("resumed_from_bytes: %d" % on_disk, flush=True)
    setup.wait_done("the order after the resume")
    setup.check_finished()
    if setup.database.setting("download_paused") == "1":
        raise Failure("downloads still count as paused")
    setup.wait_card_completed(app)
    setup.cleanup()


def speed_limit_slider(case):
    """The speed limit set with the slider paces the transfer and is saved; moved to the
    top, the rest of the order comes at full speed."""
    setup = Setup(case, "E2E Limited Feature", size=LIMITED, readable=True)
    app = setup.first_start(throttled=True)
    layout = app.layout()
    picture = setup.picture()
    setup.wait_transfer(picture, 200_000)
    slider = setup.slider(app, layout)
    limit = setup.set_limit(app, slider, 8, tolerance=2)
    wait_until(lambda: setup.database.setting("download_limit") == str(limit), 10,
               "download_limit %d in the settings" % limit)
    shown = [e["name"] for e in app.elements(role="label") if e["name"].endswith(" Mbps")]
    if shown != ["%6.2f Mbps" % limit]:
        raise Failure("the speed label reads %s for %d Mbit/s" % (shown, limit))
    # From here the portal serves as fast as it can: only the limit paces the transfer.
    setup.unthrottle()
    time.sleep(1.5)
    started, before = time.monotonic(), os.path.getsize(picture["path"])
    time.sleep(4)
    elapsed, after = time.monotonic() - started, os.path.getsize(picture["path"])
    if after >= picture["size"]:
        raise Failure("the picture was complete before the measurement ended")
    rate = (after - before) / elapsed
    ratio = rate / (limit * MEGA_BIT)
    print("limited_rate: %.0f bytes/s at %d Mbit/s (%.2f of the limit)" % (rate, limit, ratio), flush=True)
    case.run.step("limited to %d Mbit/s: %.0f kB/s" % (limit, rate / 1000))
    # Generous: a behaviour check, not a benchmark (unlimited, loopback runs at hundreds of MB/s).
    if not 0.5 <= ratio <= 1.6:
        raise Failure("at %d Mbit/s the transfer ran at %.0f bytes/s" % (limit, rate))
    setup.set_limit(app, slider, 200, tolerance=0)
    wait_until(lambda: setup.database.setting("download_limit") == "200", 10, "download_limit 200 in the settings")
    setup.wait_done("the order at full speed")
    setup.check_finished()
    setup.cleanup()


def login_refused_then_accepted(case):
    setup = Setup(case, "E2E Login Feature")
    app = setup.start("login", with_order=False)
    login = app.log_in(ACCOUNT["username"], "not the password")
    wait_until(lambda: [a["status"] for a in setup.standin.authentications()] == [403], 30, "the refused login")
    time.sleep(0.5)
    shot = case.run.screenshot("login refused")
    print("refused login shown -> %s" % os.path.basename(shot), flush=True)
    if app.display.window(app.pid, "Login") != login:
        raise Failure("the login dialog closed after a refused login")
    geometry = case.display.geometry(login)
    red = red_fraction(shot, geometry)
    if red <= 0.0005:
        raise Failure("no red message in the login dialog after the refusal (red fraction %.5f)" % red)
    app.retype_password(ACCOUNT["password"])
    app.main_window()
    case.run.step("logged in at the second attempt")
    statuses = [a["status"] for a in setup.standin.authentications()]
    if statuses != [403, 200]:
        raise Failure("the portal saw the logins %s" % statuses)
    if setup.database.setting("username") != ACCOUNT["username"]:
        raise Failure("the user name was not remembered: %r" % setup.database.setting("username"))
    setup.close_and_wait(app, "after login")
    setup.cleanup()


def red_fraction(shot, geometry):
    """Share of the login dialog's pixels in the error message's red."""
    area = "%dx%d+%d+%d" % (geometry["WIDTH"], geometry["HEIGHT"], geometry["X"], geometry["Y"])
    result = subprocess.run(["convert", shot, "-crop", area, "+repage", "-fuzz", "12%", "-fill", "black", "+opaque",
                             "rgb(255,8,11)", "-fill", "white", "-opaque", "rgb(255,8,11)", "-format",
                             "%[fx:mean]", "info:"], stdout=subprocess.PIPE, check=True, timeout=60)
    return float(result.stdout.decode().strip())


def update_declined(case):
    setup = Setup(case, "E2E Update Feature", extra_config={
        "versioncheck": {"version": 20991231, "description": "<p>A newer Tolvane Downloader.</p>"}})
    app = setup.start("update", with_order=False)
    offer = app.window("New version available")
    case.display.focus(offer)
    case.run.step("update offered")
    # The keyboard way to "Not now": Tab past the description and "Update", then Space.
    case.display.key("Tab", "Tab")
    case.run.step("focus on Not now")
    case.display.key("space")
    app.window("Login")
    case.run.step("offer declined, the login follows")
    if app.log_contains("[main] Update in progress"):
        raise Failure("the update was started")
    # Escape closes the login: the program ends with 0, nothing else happens.
    case.display.focus(app.window("Login"))
    case.display.key("Escape")
    code = app.wait_exit(15)
    if code != 0:
        raise Failure("closing the login ended with %d" % code)
    if setup.standin.authentications():
        raise Failure("a login was sent")
    setup.cleanup()


def second_instance(case):
    setup = Setup(case, "E2E Single Feature")
    first = setup.first_start()
    second = setup.start("second start", with_order=False)
    box = second.window("tolvane-downloader")
    case.display.focus(box)
    case.run.step("second start: the warning")
    case.display.key("Return")
    code = second.wait_exit(15)
    if code != 1:
        raise Failure("the second start ended with %d" % code)
    if not first.log_contains("[main] Multiple instances not allowed."):
        raise Failure("the refusal was not logged")
    if len(setup.standin.authentications()) != 1:
        raise Failure("the second start reached the login")
    if not first.alive() or not first.main_window(5):
        raise Failure("the first instance was disturbed")
    case.run.step("the first instance runs on")
    setup.wait_done("the order of the first instance")
    setup.check_finished()
    setup.close_and_wait(first, "first instance")
    setup.cleanup()


def interrupted_download(case, title, interrupt, what, killed):
    """A transfer interrupted half-way; the next start resumes it from what is on disk."""
    setup = Setup(case, title)
    app = setup.first_start(throttled=True)
    picture = setup.picture()
    setup.wait_transfer(picture, 750_000)
    case.run.step("downloading")
    interrupt(setup, app)
    setup.interrupted(what, killed)
    partial = setup.check_partial(picture)
    if partial >= picture["size"]:
        raise Failure("the picture was complete before the interruption")
    print("resumed_from_bytes: %d" % partial, flush=True)
    setup.finish_after_restart()


def interrupted_verification(case, title, interrupt, what, killed):
    """The program stopped while it verifies the reel; the next start verifies it again
    without fetching anything."""
    setup = Setup(case, title, size=LARGE, subtitles=False)
    app = setup.first_start()
    setup.wait_verifying(app)
    interrupt(setup, app)
    setup.interrupted(what, killed)
    setup.finish_after_restart()


def kill(setup, app):
    app.kill()


def close_window(setup, app):
    setup.close_and_wait(app, "downloading")


def close_window_mid_verification(setup, app):
    """The close request waits in the X server while the program is frozen, and arrives
    as it runs on in the middle of the verification."""
    setup.case.display.close_window(app.main_window())
    started = time.monotonic()
    app.thaw()
    code = app.wait_exit(10)
    print("close_to_exit_ms[verifying]: %d" % ((time.monotonic() - started) * 1000), flush=True)
    if code != 0:
        raise Failure("closing while verifying ended with %d" % code)


def kill_while_downloading(case):
    interrupted_download(case, "E2E Killed Download", kill, "killed with SIGKILL while downloading", killed=True)


def close_while_downloading(case):
    interrupted_download(case, "E2E Closed Download", close_window, "closed while downloading", killed=False)


def kill_while_verifying(case):
    interrupted_verification(case, "E2E Killed Verification", kill, "killed with SIGKILL while verifying",
                             killed=True)


def close_while_verifying(case):
    interrupted_verification(case, "E2E Closed Verification", close_window_mid_verification,
                             "closed while verifying", killed=False)


def close_while_event_in_flight(case):
    """The window closed while the portal takes its time to acknowledge an event: the
    program waits for the answer, records it, and the next start does not send it again."""
    setup = Setup(case, "E2E Closed In Flight", extra_config={"notification": {"delay_ms": 600}})
    app = setup.first_start()
    wait_until(lambda: any(n["status"] == 0 for n in setup.standin.notifications()), 60, "an event in flight",
               interval=0.02, on_poll=setup.watch)
    case.run.step("an event waits for the portal's answer")
    setup.close_and_wait(app, "event in flight")
    setup.interrupted("closed while an event was in flight", killed=False)
    setup.finish_after_restart()


def kill_while_events_wait(case):
    setup = Setup(case, "E2E Killed Events", extra_config={"notification": {"status": 503, "body": "busy"}})
    app = setup.first_start()

    def verified_and_waiting():
        assets = setup.database.assets()
        events = setup.database.notifications()
        refused = [n for n in setup.standin.notifications() if n["status"] == 503]
        return assets and events and all(a["checksummed"] for a in assets) \
            and any(e["event"] == 8 for e in events) and len(refused) >= 2
    wait_until(verified_and_waiting, 120, "the verified order with its events refused", interval=0.2,
               on_poll=setup.watch)
    events_before = setup.database.notifications()
    if any(e["synced"] for e in events_before):
        raise Failure("an event counts as acknowledged while the portal refuses them all")
    if not all(is_hidden(a["path"]) for a in setup.database.assets()):
        raise Failure("a file is visible while its events wait")
    case.run.step("verified, every event waiting for the portal")
    app.kill()
    setup.interrupted("killed with SIGKILL while events wait", killed=True)
    setup.standin.control("notification", {"status": 200, "body": "ok"})
    setup.finish_after_restart()
    after = {(e["reel"], e["event"], e["hash"]) for e in setup.database.notifications()}
    lost = [e for e in events_before if (e["reel"], e["event"], e["hash"]) not in after]
    if lost:
        raise Failure("events stored before the kill are gone: %s" % lost)


def installed_package(case):
    """cpack -G DEB: the executable, the desktop entry and the logo as its icon, nothing
    else; the packaged program, run from a folder it cannot write, keeps its database and
    log in the user's data folder."""
    packages = case.run.path("package")
    subprocess.run(["cpack", "-G", "DEB", "-B", packages], cwd=case.build, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=240)
    debs = [name for name in os.listdir(packages) if name.endswith(".deb")]
    if len(debs) != 1:
        raise Failure("cpack made %s" % debs)
    deb = os.path.join(packages, debs[0])
    listing = subprocess.run(["dpkg-deb", "-c", deb], check=True, stdout=subprocess.PIPE).stdout.decode()
    files = sorted(line.split()[-1] for line in listing.splitlines() if not line.startswith("d"))
    expected = ["./usr/bin/tolvane-downloader", "./usr/share/applications/tolvane-downloader.desktop",
                "./usr/share/icons/hicolor/scalable/apps/tolvane-downloader.svg"]
    if files != expected:
        raise Failure("the package holds %s" % files)
    fields = subprocess.run(["dpkg-deb", "-f", deb], check=True, stdout=subprocess.PIPE).stdout.decode()
    for needed in ("Package: tolvane-downloader", "libqt5sql5-sqlite", "qml-module-qtquick-controls",
                   "libqt5widgets5"):
        if needed not in fields:
            raise Failure("the package's control fields lack %s:\n%s" % (needed, fields))
    root = case.run.path("root")
    subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
    entry = os.path.join(root, "usr/share/applications/tolvane-downloader.desktop")
    if shutil.which("desktop-file-validate"):
        subprocess.run(["desktop-file-validate", entry], check=True)
    lines = open(entry).read().splitlines()
    for needed in ("Exec=tolvane-downloader %f", "Icon=tolvane-downloader", "Type=Application"):
        if needed not in lines:
            raise Failure("the desktop entry lacks %s" % needed)
    with open(os.path.join(root, "usr/share/icons/hicolor/scalable/apps/tolvane-downloader.svg")) as icon:
        if "<svg" not in icon.read():
            raise Failure("the icon is not the SVG logo")

    bin_dir = os.path.join(root, "usr/bin")
    read_only = ReadOnlyFolder(bin_dir)
    try:
        case.start_standin(case.run.path("assets"), [ACCOUNT])
        home = case.run.path("home")
        app = case.start_app(None, home, "installed", executable=os.path.join(bin_dir, "tolvane-downloader"))
        login = app.window("Login", 60)
        case.run.step("the installed program asks for the login")
        case.display.focus(login)
        case.display.key("Escape")
        code = app.wait_exit(15)
        if code != 0:
            raise Failure("closing the login ended with %d" % code)
        user_data = os.path.join(home, ".local/share/tolvane-downloader")
        for name in ("orvdownloader.4.sqlite", "debug.log"):
            if not os.path.isfile(os.path.join(user_data, name)):
                raise Failure("no %s in the user's data folder %s: %s"
                              % (name, user_data, os.listdir(user_data) if os.path.isdir(user_data) else "none"))
        if sorted(os.listdir(bin_dir)) != ["tolvane-downloader"]:
            raise Failure("the program wrote next to itself: %s" % os.listdir(bin_dir))
    finally:
        read_only.release()
    shutil.rmtree(root, ignore_errors=True)
    shutil.rmtree(packages, ignore_errors=True)


class ReadOnlyFolder:
    """A folder the program cannot write, as /usr/bin is for a user: a read-only bind mount
    for root (who writes through permission bits), the permission bits for anyone else."""

    def __init__(self, folder):
        self.folder = folder
        self.mounted = False
        if os.geteuid() == 0:
            if subprocess.run(["mount", "--bind", folder, folder]).returncode != 0:
                raise Failure("cannot bind-mount %s" % folder)
            self.mounted = True
            if subprocess.run(["mount", "-o", "remount,bind,ro", folder]).returncode != 0:
                self.release()
                raise Failure("cannot make %s read-only" % folder)
        else:
            os.chmod(folder, 0o555)

    def release(self):
        if self.mounted:
            subprocess.run(["umount", self.folder])
            self.mounted = False
        else:
            os.chmod(self.folder, 0o755)


def broken_dcp_set_aside(case):
    """Three DCPs in one package, the first one's sound missing on the server (404): its
    box is answered No, the other two download and verify while the first's card says what
    it needs; a fresh package with working links, opened at the next start, completes it
    without fetching again what was on disk."""
    setup = Setup(case, "E2E Broken Feature", readable=True)
    orders = [setup.order] + [Order(case.build, case.run, setup.assets, title, 1, SMALL, ACCOUNT["key"],
                                    setup.standin.base, seed=seed, subtitles=False)
                              for title, seed in (("E2E Second Feature", 12), ("E2E Third Feature", 13))]
    pack = os.path.join(case.build, "tools", "orvdcp-pack")

    def package(name, base):
        path = case.run.path(name)
        subprocess.run([pack, "pack", "--key", ACCOUNT["key"], "--base-url", base + "/assets/{dcp}", "--out", path]
                       + [order.folder for order in orders], check=True, stdout=subprocess.DEVNULL, timeout=120)
        return path

    three = package("three.orvdcp", setup.standin.base)
    broken = next(name for name in sorted(os.listdir(setup.order.folder)) if name.startswith("pcm_"))
    broken_path = setup.order.title + "/" + broken
    setup.standin.control("asset-fault", {"path": broken_path, "status": 404})

    app = case.start_app(setup.data, setup.home, "first start", [three])
    app.log_in(ACCOUNT["username"], ACCOUNT["password"])
    app.choose_folder(setup.downloads)
    app.confirm_local_drive_if_asked(setup.database)
    app.main_window()
    case.run.step("first start: three DCPs in the catalogue")

    # The box comes once, for the broken DCP; No keeps it (its default).
    box = app.window("tolvane-downloader", timeout=60)
    case.display.focus(box)
    case.run.step("the expired-links box")
    case.display.key("Return")

    def others_done():
        assets = [a for a in setup.database.assets() if "/E2E Broken Feature/" not in a["path"]]
        return len(assets) >= 4 and all(a["finished"] and a["checksummed"] for a in assets)
    wait_until(others_done, DONE_TIMEOUT, "the second and third DCPs to download and verify", interval=0.3,
               on_poll=setup.watch)
    case.run.step("the second and third DCPs are verified")
    layout = app.layout()
    wanted = "Links expired: open a fresh package from Tarn"
    wait_until(lambda: wanted in [e["name"] for e in app.elements(role="label")], 30,
               "a card reading \"%s\"" % wanted)
    case.run.step("the broken DCP's card says what it needs")
    if setup.database.setting("download_paused") == "1":
        raise Failure("one broken DCP paused every download")
    kept = {a["path"]: os.path.getsize(a["path"]) for a in setup.database.assets()
            if "/E2E Broken Feature/" in a["path"] and a["finished"]}
    if not kept:
        raise Failure("nothing of the broken DCP was on disk before the fresh package")
    if app.display.window(app.pid, "tolvane-downloader"):
        raise Failure("a second box opened")
    setup.close_and_wait(app, "set aside")

    # The fresh package: the same files under the stand-in's second path, the file there again.
    setup.standin.control("clear-asset-faults", {})
    fresh = package("fresh.orvdcp", setup.standin.base + "/fresh")
    requests_before = len(setup.standin.asset_requests())
    app = case.start_app(setup.data, setup.home, "fresh package", [fresh])
    app.log_in(ACCOUNT["username"], ACCOUNT["password"], remembered=True)
    # Every DCP of the package is in the catalogue already: no destination is asked. The
    # import's boxes (the local drive, "already exist and will be merged" for each DCP)
    # answered with their default, until none has come for a while.
    answered, quiet_since, deadline = 0, time.monotonic(), time.monotonic() + 90
    while time.monotonic() < deadline and time.monotonic() - quiet_since < 5:
        box = app.display.window(app.pid, "tolvane-downloader")
        if box:
            case.display.focus(box)
            case.run.step("fresh package: box %d" % (answered + 1))
            case.display.key("Return")
            answered += 1
            quiet_since = time.monotonic()
            time.sleep(0.5)
        else:
            time.sleep(0.2)
    if answered < len(orders):
        raise Failure("the fresh package merged without its boxes (%d answered)" % answered)
    app.main_window()
    case.run.step("fresh package: the DCPs are merged")
    setup.wait_done("every DCP after the fresh package")
    later = setup.standin.asset_requests()[requests_before:]
    fetched = [r["path"] for r in later if r["path"].startswith(setup.order.title + "/")]
    for path in kept:
        if setup.order.served_path(path) in fetched:
            raise Failure("%s was fetched again although it was on disk" % path)
    if broken_path not in fetched:
        raise Failure("the missing file was not fetched after the fresh package: %s" % fetched)
    links = [row[0] for row in setup.database.query("SELECT download_url FROM asset") if "Broken" in row[0]]
    if not links or not all("/fresh/assets/" in link for link in links):
        raise Failure("the fresh package did not replace the broken DCP's links: %s" % links)
    case.run.step("the broken DCP completed, its links replaced by the fresh package's")
    setup.close_and_wait(app, "done")
    setup.cleanup()


def friendly_title(setup):
    rows = setup.database.query("SELECT friendly_title FROM dcp")
    if len(rows) != 1:
        raise Failure("expected one DCP in the catalogue: %s" % rows)
    return rows[0][0]


def desktop_notification_ready(case):
    """With a desktop notification service running, an order downloaded, verified and
    confirmed is told once as ready; while it downloads the window's title says how much of
    it is there."""
    setup = Setup(case, "E2E Notified Feature")
    case.display.start_notifications(case.build, case.run.path("desktop-notifications.jsonl"),
                                     case.run.path("dbus.log"))
    app = setup.first_start(throttled=True)
    title_prefix = MAIN_WINDOW_TITLE + " \u2014 "

    def percent_title():
        for _, name in case.display.windows(app.pid):
            if name.startswith(title_prefix) and name.endswith("%") and name[len(title_prefix):-1].isdigit():
                return name
        return None
    seen = wait_until(percent_title, 60, "the title to show the downloaded percent", interval=0.2)
    case.run.step("the title reads \"%s\"" % seen)
    setup.unthrottle()
    setup.wait_done("the whole order")
    wait_until(lambda: case.display.desktop_notifications(), 30, "the desktop notification")
    wait_until(lambda: app.display.window(app.pid, MAIN_WINDOW_TITLE), 30, "the plain title again")
    case.run.step("notified; the title is plain again")
    setup.close_and_wait(app, "notified")
    told = case.display.desktop_notifications()
    expected = friendly_title(setup) + " is ready"
    if [n["summary"] for n in told] != [expected]:
        raise Failure("expected one notification \"%s\", the service was asked for %s" % (expected, told))
    if told[0]["app_name"] != "Tolvane Downloader" or told[0]["actions"] != ["default", "Open"] \
            or told[0]["expire_timeout"] != -1:
        raise Failure("the notification is not as the program sends it: %s" % told[0])
    if "[DesktopNotifier] No desktop notification service:" in app.log():
        raise Failure("the service was there, the log says it was not")
    setup.cleanup()


def desktop_notification_needs_you(case):
    """A DCP whose sound file is missing on the server (404) is set aside and told once as
    needing the operator, with the reason its card gives."""
    setup = Setup(case, "E2E Stuck Feature")
    case.display.start_notifications(case.build, case.run.path("desktop-notifications.jsonl"),
                                     case.run.path("dbus.log"))
    broken = next(name for name in sorted(os.listdir(setup.order.folder)) if name.startswith("pcm_"))
    setup.standin.control("asset-fault", {"path": setup.order.title + "/" + broken, "status": 404})
    app = setup.first_start()
    box = app.window("tolvane-downloader", timeout=60)
    case.display.focus(box)
    case.run.step("the missing-file box")
    case.display.key("Return")
    wait_until(lambda: case.display.desktop_notifications(), 60, "the desktop notification")
    case.run.step("notified")
    setup.close_and_wait(app, "set aside")
    told = case.display.desktop_notifications()
    expected = (friendly_title(setup) + " needs you", "Links expired: open a fresh package from Tarn")
    if [(n["summary"], n["body"]) for n in told] != [expected]:
        raise Failure("expected one notification %s, the service was asked for %s" % (expected, told))
    setup.cleanup()


def desktop_notification_no_service(case):
    """No notification service (no session bus at all): one log line says so, and the order
    still completes."""
    setup = Setup(case, "E2E Unnotified Feature")
    app = setup.first_start()
    setup.wait_done("the whole order")
    setup.check_finished()
    setup.close_and_wait(app, "without notifications")
    lines = [line for line in app.log().splitlines() if "[DesktopNotifier]" in line]
    if len(lines) != 1 or "[DesktopNotifier] No desktop notification service:" not in lines[0]:
        raise Failure("expected one line about the missing notification service, the log has %s" % lines)
    case.run.step("one line in the log: %s" % lines[0])
    setup.cleanup()



CASES = {
    "complete_order": complete_order,
    "pause_and_resume": pause_and_resume,
    "speed_limit_slider": speed_limit_slider,
    "login_refused_then_accepted": login_refused_then_accepted,
    "update_declined": update_declined,
    "second_instance": second_instance,
    "kill_while_downloading": kill_while_downloading,
    "kill_while_verifying": kill_while_verifying,
    "kill_while_events_wait": kill_while_events_wait,
    "close_while_event_in_flight": close_while_event_in_flight,
    "close_while_verifying": close_while_verifying,
    "close_while_downloading": close_while_downloading,
    "installed_package": installed_package,
    "broken_dcp_set_aside": broken_dcp_set_aside,
    "desktop_notification_ready": desktop_notification_ready,
    "desktop_notification_needs_you": desktop_notification_needs_you,
    "desktop_notification_no_service": desktop_notification_no_service,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", help="the build folder (with tolvane-downloader and tools/)")
    parser.add_argument("--out", help="output folder of the case (emptied first)")
    parser.add_argument("--list", action="store_true", help="print the case names")
    parser.add_argument("case", nargs="?", choices=sorted(CASES))
    arguments = parser.parse_args()
    if arguments.list:
        print("\n".join(CASES))
        return 0
    if not arguments.case or not arguments.build or not arguments.out:
        parser.error("--build, --out and a case are needed")
    missing = require_tools()
    if missing:
        print("skipped: missing %s (tools/install-deps installs them)" % ", ".join(missing))
        return SKIPPED
    shutil.rmtree(arguments.out, ignore_errors=True)
    # Ended from outside (a CTest time-out): still stop the program, the stand-in and Xvfb.
    signal.signal(signal.SIGTERM, lambda number, frame: sys.exit(128 + number))
    started = time.monotonic()
    with Case(arguments.build, arguments.out) as case:
        CASES[arguments.case](case)
    print("passed in %.1f s; screenshots in %s" % (time.monotonic() - started, arguments.out), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
