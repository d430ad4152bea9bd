#!/usr/bin/python3
"""The Debian package on a fresh Debian 12: builds it with cpack, installs it with apt in a
minimal bookworm chroot made by debootstrap (its root not a mount point, as package
builders make them), and starts the installed program there as a normal user on an Xvfb
display of this machine. The user logs in through typed input and closes the window; the
database and debug.log must land in that user's data folder and nothing next to the
executable. Needs root and Debian's archive; takes a few minutes, so CTest does not run it.

    install_in_chroot.py --build BUILD_DIR --out OUTPUT_DIR [--chroot DIR] [--mirror URL]

An existing bootstrapped DIR is used again (only the package is installed afresh).
"""

import argparse
import glob
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import MAIN_WINDOW_TITLE, Display, Failure, Run, Standin, require_tools, stop_process, wait_until  # noqa: E402

ACCOUNT = {"username": "operator", "password": "chroot pass", "key": "chroot-decoding-key-0123456789abcdef01"}
USER = "projectionist"


def sh(*command, **options):
    print("$ " + " ".join(command), flush=True)
    subprocess.run(command, check=True, **options)


def in_chroot(root, *command):
    sh("chroot", root, "/usr/bin/env", "DEBIAN_FRONTEND=noninteractive", "LC_ALL=C", *command)


class Mounts:
    """/proc and /dev inside the chroot for apt, released whatever happens."""

    def __init__(self, root):
        self.points = []
        for source in ("/proc", "/dev"):
            target = root + source
            os.makedirs(target, exist_ok=True)
            sh("mount", "--bind", source, target)
            self.points.append(target)

    def release(self):
        for target in reversed(self.points):
            subprocess.run(["umount", "-l", target])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--chroot", help="the chroot folder (default OUT/root)")
    parser.add_argument("--mirror", default="http://deb.debian.org/debian")
    arguments = parser.parse_args()
    if os.geteuid() != 0:
        print("skipped: needs root (debootstrap, chroot)")
        return 77
    missing = require_tools() + [tool for tool in ("debootstrap", "cpack") if shutil.which(tool) is None]
    if missing:
        print("skipped: missing %s" % ", ".join(missing))
        return 77

    run = Run(arguments.out)
    root = os.path.abspath(arguments.chroot or run.path("root"))
    build = os.path.abspath(arguments.build)

    packages = run.path("package")
    shutil.rmtree(packages, ignore_errors=True)
    sh("cpack", "-G", "DEB", "-B", packages, cwd=build, stdout=subprocess.DEVNULL)
    deb = glob.glob(os.path.join(packages, "*.deb"))[0]

    if not os.path.exists(os.path.join(root, "usr/bin/apt-get")):
        sh("debootstrap", "--variant=minbase", "bookworm", root, arguments.mirror)
    shutil.copy("/etc/resolv.conf", os.path.join(root, "etc/resolv.conf"))
    shutil.copy(deb, os.path.join(root, "tmp/tolvane-downloader.deb"))
    mounts = Mounts(root)
    display = None
    standin = None
    process = None
    try:
        in_chroot(root, "apt-get", "update", "-qq")
        in_chroot(root, "apt-get", "install", "-y", "-qq", "--no-install-recommends", "/tmp/tolvane-downloader.deb")
        if subprocess.run(["chroot", root, "id", USER], stdout=subprocess.DEVNULL).returncode != 0:
            in_chroot(root, "useradd", "--create-home", USER)
        home = os.path.join(root, "home", USER)
        user_data = os.path.join(home, ".local/share/tolvane-downloader")
        shutil.rmtree(user_data, ignore_errors=True)

        display = Display(run.path("xvfb.log"))
        run.display = display
        standin = Standin(build, run, run.path("assets"), [ACCOUNT])
        # The chroot shares this machine's network: the display's socket and the stand-in.
        process = subprocess.Popen(
            ["chroot", "--userspec=%s:%s" % (USER, USER), root, "/usr/bin/env", "-i", "HOME=/home/" + USER,
             "USER=" + USER, "DISPLAY=" + display.name, "TOLVANE_PORTAL_URL=" + standin.base,
             "TOLVANE_NOTIFICATION_URL=" + standin.base, "/usr/bin/tolvane-downloader"],
            stdout=open(run.path("app.out"), "wb"), stderr=subprocess.STDOUT)

        def window(title):
            def find():
                if process.poll() is not None:
                    raise Failure("the installed program ended with %s" % process.returncode)
                return display.window(process.pid, title, prefix=title == MAIN_WINDOW_TITLE)
            return wait_until(find, 60, "the window \"%s\"" % title)

        login = window("Login")
        display.focus(login)
        display.type(ACCOUNT["username"])
        display.key("Tab")
        display.type(ACCOUNT["password"])
        run.step("the installed program: login typed")
        display.key("Return")
        main_window = window(MAIN_WINDOW_TITLE)
        wait_until(lambda: display.painted(main_window), 60, "the main window's first picture", interval=0.2)
        run.step("the installed program: logged in, main window")
        display.close_window(main_window)
        code = process.wait(15)
        if code != 0:
            raise Failure("the installed program ended with %d" % code)
        found = sorted(os.listdir(user_data)) if os.path.isdir(user_data) else []
        for name in ("debug.log", "orvdownloader.4.sqlite"):
            if name not in found:
                raise Failure("no %s in %s: %s" % (name, user_data, found))
        owner = os.stat(os.path.join(user_data, "orvdownloader.4.sqlite")).st_uid
        expected = int(subprocess.run(["chroot", root, "id", "-u", USER], stdout=subprocess.PIPE,
                                      check=True).stdout)
        if owner != expected:
            raise Failure("the database belongs to uid %d, not the user's %d" % (owner, expected))
        leftovers = sorted(set(os.listdir(os.path.join(root, "usr/bin"))) & {"debug.log", "orvdownloader.4.sqlite"})
        if leftovers:
            raise Failure("written next to the executable: %s" % leftovers)
        print("installed and run as %s: %s holds %s" % (USER, user_data, ", ".join(found)))
        print("passed")
        return 0
    except Failure as failure:
        run.screenshot("failure")
        print("FAILED: %s" % failure)
        return 1
    finally:
        if process and process.poll() is None:
            process.kill()
            process.wait()
        if standin:
            standin.stop()
        if display:
            display.stop()
        mounts.release()
        time.sleep(0.1)


if __name__ == "__main__":
    sys.exit(main())
