#!/usr/bin/python3
"""The demo on a machine without a screen: tools/demo runs this when neither DISPLAY nor
WAYLAND_DISPLAY is set. It starts the downloader on its own Xvfb display and plays the
operator with real X input: logs in with the demo account, chooses the demo's download
folder, answers the import's box and lets the order download. It prints the progress and
writes a screenshot every few seconds, and one at the end, into DEMO/screenshots; it ends
once the DCP is verified, every event acknowledged and the DCP's card in the window reads
"Completed", and prints the path of the last picture, which shows that card.

    demo_headless.py --build BUILD --demo DEMO --package FILE --portal URL --user U --password P
"""

import argparse
import os
import shutil
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import App, Database, Display, Failure, Run, Watch, is_hidden, require_tools  # noqa: E402

SCREENSHOT_EVERY = 5.0   # seconds
TIMEOUT = 900            # the whole demo, seconds


class Portal:
    def __init__(self, base):
        self.base = base


def progress(database):
    """(bytes on disk, bytes in all, verified assets, assets, acknowledged events, events)."""
    assets = database.assets() or []
    events = database.notifications() or []
    on_disk = 0
    for asset in assets:
        try:
            on_disk += min(os.path.getsize(asset["path"]), asset["size"])
        except FileNotFoundError:
            pass
    return (on_disk, sum(a["size"] for a in assets), sum(a["checksummed"] for a in assets), len(assets),
            sum(e["synced"] for e in events), len(events))


def finished(database):
    assets = database.assets()
    events = database.notifications()
    if not assets or not events:
        return False
    return all(a["checksummed"] for a in assets) and all(e["synced"] for e in events) \
        and any(e["event"] == 8 for e in events) \
        and all(os.path.exists(a["path"]) and not is_hidden(a["path"]) for a in assets)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    for option in ("--build", "--demo", "--package", "--portal", "--user", "--password"):
        parser.add_argument(option, required=True)
    arguments = parser.parse_args()
    missing = require_tools()
    if missing:
        print("The demo without a screen needs %s (tools/install-deps installs them)." % ", ".join(missing))
        return 1

    demo = os.path.abspath(arguments.demo)
    data = os.path.join(demo, "data")
    downloads = os.path.join(demo, "downloads")
    screenshots = os.path.join(demo, "screenshots")
    # Each run without a screen starts from an empty catalogue, so that it always shows the
    # whole way from the package to the verified DCP.
    for folder in (data, downloads, screenshots):
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)

    run = Run(screenshots)
    display = Display(os.path.join(demo, "xvfb.log"))
    run.display = display
    app = None
    try:
        print("No display found: running the demo on the virtual display %s." % display.name, flush=True)
        # The window's texts are read through the accessibility bridge: the demo ends once
        # the DCP's card says it is complete.
        display.start_accessibility(os.path.join(demo, "dbus.log"))
        app = App(arguments.build, run, display, Portal(arguments.portal), data, os.path.join(demo, "session"),
                  "demo", [arguments.package])
        database = Database(data)
        watch = Watch(database)
        app.log_in(arguments.user, arguments.password)
        app.choose_folder(downloads)
        app.confirm_local_drive_if_asked(database, timeout=60)
        app.main_window()
        run.step("the order is in the catalogue, downloading")

        started = time.monotonic()
        last_shot = 0.0
        while not finished(database):
            if not app.alive():
                raise Failure("the downloader ended (exit %s)" % app.process.returncode)
            if time.monotonic() - started > TIMEOUT:
                raise Failure("the demo did not finish within %d s" % TIMEOUT)
            watch()
            if time.monotonic() - last_shot >= SCREENSHOT_EVERY:
                last_shot = time.monotonic()
                on_disk, total, verified, count, acknowledged, events = progress(database)
                run.step("downloaded %d of %d MB, %d of %d files verified, %d of %d events acknowledged"
                         % (on_disk >> 20, total >> 20, verified, count, acknowledged, events))
            time.sleep(0.5)
        on_disk, total, verified, count, acknowledged, events = progress(database)
        print("done: %d MB downloaded, all %d files verified, all %d events acknowledged, files revealed"
              % (total >> 20, count, events), flush=True)
        app.wait_card_completed(total)
        print("The DCP is verified and the portal has acknowledged every event.")
        print("Files: %s" % downloads)
        print("Last picture: %s" % run.last_shot, flush=True)
        display.close_window(app.main_window())
        code = app.wait_exit(15)
        if code != 0:
            raise Failure("the downloader ended with %d when its window was closed" % code)
        return 0
    except Failure as failure:
        run.screenshot("failure")
        print("The demo failed: %s" % failure)
        if run.last_shot:
            print("Last picture: %s" % run.last_shot)
        if app:
            print("Log: %s" % os.path.join(data, "debug.log"))
        return 1
    finally:
        if app:
            app.stop()
        display.stop()


if __name__ == "__main__":
    sys.exit(main())
