#include "platform/X11WindowActivator.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace quill::platform {

struct X11WindowActivator::Display {
    ::Display* display = nullptr;
    bool opened = false;
};

namespace {

// Errors about a window that went away between two calls are an expected failure;
// Xlib's default handler would end the process.
int IgnoreErrors(::Display*, XErrorEvent*) { return 0; }

bool WindowExists(::Display* d, ::Window w) {
    XWindowAttributes attributes;
    return w != 0 && XGetWindowAttributes(d, w, &attributes) != 0;
}

bool HasWindowManager(::Display* d) {
    Atom check = XInternAtom(d, "_NET_SUPPORTING_WM_CHECK", False);
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    bool found = XGetWindowProperty(d, DefaultRootWindow(d), check, 0, 1, False, XA_WINDOW, &type, &format, &count,
                                    &after, &data) == Success &&
                 data != nullptr && count == 1;
    if (data) XFree(data);
    return found;
}

// The X server's time now: the time stamp of a property change on a window of our own.
// A window manager may refuse an activation without a real time stamp as focus stealing.
Time ServerTime(::Display* d) {
    const ::Window own = XCreateSimpleWindow(d, DefaultRootWindow(d), -10, -10, 1, 1, 0, 0, 0);
    XSelectInput(d, own, PropertyChangeMask);
    const Atom atom = XInternAtom(d, "_QUILL_SERVER_TIME", False);
    unsigned char nothing = 0;
    XChangeProperty(d, own, atom, XA_STRING, 8, PropModeAppend, &nothing, 0);
    // The round trip brings the property's event in before its reply.
    XSync(d, False);
    XEvent event;
    Time time = CurrentTime;
    if (XCheckTypedWindowEvent(d, own, PropertyNotify, &event)) time = event.xproperty.time;
    XDestroyWindow(d, own);
    return time;
}

void SendActivate(::Display* d, ::Window w) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = w;
    event.xclient.message_type = XInternAtom(d, "_NET_ACTIVE_WINDOW", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = 2; // source: a pager, so that the window manager obeys
    event.xclient.data.l[1] = static_cast<long>(ServerTime(d));
    XSendEvent(d, DefaultRootWindow(d), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
}

} // namespace

X11WindowActivator::X11WindowActivator() : m_display(std::make_unique<Display>()) {}

// The display is opened on first use: only a second start of the program needs it.
::Display* X11WindowActivator::Connection() {
    if (!m_display->opened) {
        m_display->opened = true;
        m_display->display = XOpenDisplay(nullptr);
        if (m_display->display) XSetErrorHandler(IgnoreErrors);
    }
    return m_display->display;
}

X11WindowActivator::~X11WindowActivator() {
    if (m_display->display) XCloseDisplay(m_display->display);
}

bool X11WindowActivator::IsIconic(std::uint32_t window) {
    if (window == 0) return false; // no X11 window recorded: nothing to open a display for
    ::Display* d = Connection();
    if (!d || !WindowExists(d, window)) return false;
    Atom wmState = XInternAtom(d, "WM_STATE", False);
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    bool iconic = XGetWindowProperty(d, window, wmState, 0, 2, False, wmState, &type, &format, &count, &after, &data) ==
                      Success &&
                  data != nullptr && count >= 1 && format == 32 && reinterpret_cast<long*>(data)[0] == IconicState;
    if (data) XFree(data);
    return iconic;
}

bool X11WindowActivator::ShowWindow(std::uint32_t window, int showCommand) {
    if (window == 0) return false; // no X11 window recorded: nothing to open a display for
    ::Display* d = Connection();
    if (!d || showCommand != SW_RESTORE || !WindowExists(d, window)) return false;
    // An iconic window is de-iconified by activating it (EWMH) or by mapping it (ICCCM).
    if (HasWindowManager(d)) SendActivate(d, window);
    XMapWindow(d, window);
    XSync(d, False);
    return true;
}

bool X11WindowActivator::SetForegroundWindow(std::uint32_t window) {
    if (window == 0) return false; // no X11 window recorded: nothing to open a display for
    ::Display* d = Connection();
    if (!d || !WindowExists(d, window)) return false;
    if (HasWindowManager(d)) {
        SendActivate(d, window);
    } else {
        XMapRaised(d, window);
        XSetInputFocus(d, window, RevertToParent, ServerTime(d));
    }
    XSync(d, False);
    return true;
}

bool X11WindowActivator::CompleteStartup(const std::string& startupId) {
    ::Display* d = Connection();
    if (!d || startupId.empty()) return false;
    // The startup-notification message: "remove: ID=<id>" with the id quoted, sent in
    // 20-byte pieces, the first as _NET_STARTUP_INFO_BEGIN, ending with a NUL byte.
    std::string message = "remove: ID=\"";
    for (char c : startupId) {
        if (c == '"' || c == '\\') message += '\\';
        message += c;
    }
    message += '"';
    message += '\0';
    const ::Window own = XCreateSimpleWindow(d, DefaultRootWindow(d), -10, -10, 1, 1, 0, 0, 0);
    const Atom begin = XInternAtom(d, "_NET_STARTUP_INFO_BEGIN", False);
    const Atom more = XInternAtom(d, "_NET_STARTUP_INFO", False);
    for (std::size_t offset = 0; offset < message.size(); offset += 20) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = own;
        event.xclient.message_type = offset == 0 ? begin : more;
        event.xclient.format = 8;
        message.copy(event.xclient.data.b, 20, offset);
        XSendEvent(d, DefaultRootWindow(d), False, PropertyChangeMask, &event);
    }
    XDestroyWindow(d, own);
    XSync(d, False);
    return true;
}

} // namespace quill::platform
