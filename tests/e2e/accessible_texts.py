#!/usr/bin/python3
"""Prints, as JSON, every element that a program shows through the accessibility
bridge: [{"role", "name", "x", "y", "width", "height", "value" where there is one}] in screen coordinates. Run with the
display's and the session bus's environment (the harness's Display.env()).

    accessible_texts.py PID
"""

import json
import sys

import pyatspi


def walk(node, found, depth=0):
    if node is None or depth > 60:
        return
    try:
        name = node.name
        role = node.getRoleName()
        children = [node.getChildAtIndex(i) for i in range(node.childCount)]
    except Exception:  # an element that went away while walking
        return
    element = {"role": role, "name": name}
    try:
        extents = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        element.update(x=extents.x, y=extents.y, width=extents.width, height=extents.height)
    except Exception:  # the application itself has no place on the screen
        pass
    try:
        element["value"] = node.queryValue().currentValue
    except Exception:
        pass
    found.append(element)
    for child in children:
        walk(child, found, depth + 1)


def main():
    pid = int(sys.argv[1])
    desktop = pyatspi.Registry.getDesktop(0)
    found = []
    for index in range(desktop.childCount):
        try:
            application = desktop.getChildAtIndex(index)
            if application.get_process_id() == pid:
                walk(application, found)
        except Exception:  # an application that went away
            continue
    json.dump(found, sys.stdout)
    return 0


if __name__ == "__main__":
    sys.exit(main())
