#!/usr/bin/python3
# A launcher on Wayland, as a desktop's: a window that starts PROGRAM when a key is pressed
# in it, through GLib with the display's launch context, so that the program gets a start
# token that carries that key press.
#   wayland-launcher.py PROGRAM
import sys

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import Gio, Gtk  # noqa: E402

program = sys.argv[1]
window = Gtk.Window(title="launcher")
window.set_default_size(400, 300)


def on_key(widget, event):
    context = widget.get_display().get_app_launch_context()
    context.set_timestamp(event.time)
    info = Gio.AppInfo.create_from_commandline(
        program, "quill-server-management", Gio.AppInfoCreateFlags.SUPPORTS_STARTUP_NOTIFICATION
    )
    info.launch([], context)
    print("launched", flush=True)
    return True


def on_focus(widget, event):
    print("focused", flush=True)
    return False


window.connect("key-press-event", on_key)
window.connect("focus-in-event", on_focus)
window.connect("destroy", Gtk.main_quit)
window.show_all()
Gtk.main()
