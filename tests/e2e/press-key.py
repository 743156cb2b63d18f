#!/usr/bin/python3
# Presses and releases one key (an evdev key code) through mutter's remote-desktop
# interface on the session bus, as a user at the keyboard would; the window that has the
# focus gets it with a real input serial.
#   press-key.py [KEYCODE]
import sys
import time

from gi.repository import Gio, GLib

keycode = int(sys.argv[1]) if len(sys.argv) > 1 else 28  # Enter
bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
name = "org.gnome.Mutter.RemoteDesktop"


def call(path, interface, method, args=None):
    return bus.call_sync(name, path, interface, method, args, None, Gio.DBusCallFlags.NONE, 5000, None)


# The session lives as long as this connection does.
session = call("/org/gnome/Mutter/RemoteDesktop", name, "CreateSession").unpack()[0]
call(session, name + ".Session", "Start")
# The virtual keyboard's first key only brings the keyboard focus to the window (it arrives
# as already pressed); Shift goes first, then the key.
time.sleep(0.3)
for code in (42, keycode):
    for pressed in (True, False):
        call(session, name + ".Session", "NotifyKeyboardKeycode", GLib.Variant("(ub)", (code, pressed)))
        time.sleep(0.1)
time.sleep(0.5)
call(session, name + ".Session", "Stop")
