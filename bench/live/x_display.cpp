#include "x_display.h"

#include "measure.h"

#include <QSocketNotifier>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

namespace orvalin::live {

namespace {

Atom atom(Display *display, const char *name)
{
    return XInternAtom(display, name, False);
}

// The items of a window property of 32-bit format; empty when absent.
std::vector<unsigned long> long_property(Display *display, Window window, Atom property, Atom type)
{
    Atom actual_type = 0;
    int format = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char *data = nullptr;
    std::vector<unsigned long> items;
    if (XGetWindowProperty(display, window, property, 0, 64, False, type, &actual_type, &format,
            &count, &remaining, &data)
            == Success
        && data && format == 32) {
        const auto *values = reinterpret_cast<const unsigned long *>(data);
        items.assign(values, values + count);
    }
    if (data)
        XFree(data);
    return items;
}

} // namespace

x_display::x_display()
{
    display_ = XOpenDisplay(nullptr);
    if (!display_)
        return;
    XSelectInput(display_, DefaultRootWindow(display_), SubstructureNotifyMask);
    XSync(display_, False);
    notifier_ = new QSocketNotifier(ConnectionNumber(display_), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &x_display::read_events);
}

x_display::~x_display()
{
    delete notifier_;
    if (display_)
        XCloseDisplay(display_);
}

const x_display::mapped_window *x_display::main_window_of(qint64 pid) const
{
    for (const mapped_window &window : mapped_) {
        if (window.pid == pid && !window.dialog)
            return &window;
    }
    return nullptr;
}

void x_display::read_events()
{
    // XPending also reads what arrived meanwhile, and finds events that
    // earlier round trips left in Xlib's queue, which the socket no longer
    // signals.
    while (XPending(display_)) {
        XEvent event;
        XNextEvent(display_, &event);
        const double at = monotonic_ms();
        if (event.type != MapNotify || event.xmap.event != DefaultRootWindow(display_)
            || event.xmap.override_redirect)
            continue;
        mapped_window window;
        window.id = event.xmap.window;
        window.at_ms = at;
        window.pid = window_pid(window.id);
        window.dialog = !window_is_normal(window.id);
        window.title = window_title(window.id);
        mapped_.push_back(window);
        if (window.dialog && dismiss_.contains(window.pid)) {
            close_window(window.id);
            ++dialogs_dismissed_;
        }
    }
}

qint64 x_display::window_pid(unsigned long window)
{
    const auto pid = long_property(display_, window, atom(display_, "_NET_WM_PID"), XA_CARDINAL);
    return pid.empty() ? 0 : qint64(pid.front());
}

bool x_display::window_is_normal(unsigned long window)
{
    const auto types
        = long_property(display_, window, atom(display_, "_NET_WM_WINDOW_TYPE"), XA_ATOM);
    // Without a type a top-level window counts as normal.
    return types.empty() || types.front() == atom(display_, "_NET_WM_WINDOW_TYPE_NORMAL");
}

QString x_display::window_title(unsigned long window)
{
    Atom actual_type = 0;
    int format = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char *data = nullptr;
    QString title;
    if (XGetWindowProperty(display_, window, atom(display_, "_NET_WM_NAME"), 0, 256, False,
            atom(display_, "UTF8_STRING"), &actual_type, &format, &count, &remaining, &data)
            == Success
        && data && format == 8)
        title = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(count));
    if (data)
        XFree(data);
    return title;
}

void x_display::close_window(unsigned long id)
{
    XEvent event {};
    event.xclient.type = ClientMessage;
    event.xclient.window = id;
    event.xclient.message_type = atom(display_, "WM_PROTOCOLS");
    event.xclient.format = 32;
    event.xclient.data.l[0] = long(atom(display_, "WM_DELETE_WINDOW"));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display_, id, False, NoEventMask, &event);
    XFlush(display_);
}

bool x_display::click(unsigned long window, int x, int y)
{
    Window child = 0;
    int screen_x = 0;
    int screen_y = 0;
    if (!XTranslateCoordinates(
            display_, window, DefaultRootWindow(display_), x, y, &screen_x, &screen_y, &child))
        return false;
    XTestFakeMotionEvent(display_, DefaultScreen(display_), screen_x, screen_y, CurrentTime);
    XTestFakeButtonEvent(display_, 1, True, CurrentTime);
    XTestFakeButtonEvent(display_, 1, False, CurrentTime);
    XFlush(display_);
    // The round trip above may have queued events the socket will not
    // signal again.
    read_events();
    return true;
}

} // namespace orvalin::live
