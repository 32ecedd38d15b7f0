#pragma once

#include <QObject>
#include <QSet>
#include <QString>

#include <vector>

struct _XDisplay;
class QSocketNotifier;

namespace orvalin::live {

// The X display the panel runs on ($DISPLAY, normally an Xvfb without a
// window manager), as a person at it: it sees each top-level window being
// mapped, at the moment the server reports it, clicks with the mouse through
// the XTEST extension (real input events, as xdotool makes them, without a
// process started per click), and closes windows the way a title bar's close
// button does (WM_DELETE_WINDOW).
class x_display : public QObject {
    Q_OBJECT

public:
    struct mapped_window {
        unsigned long id = 0;
        qint64 pid = 0; // _NET_WM_PID
        bool dialog = false; // not a normal top-level window (a message box)
        double at_ms = 0; // monotonic time the map was seen
        QString title;
    };

    x_display();
    ~x_display() override;
    x_display(const x_display &) = delete;
    x_display &operator=(const x_display &) = delete;

    bool is_open() const { return display_ != nullptr; }

    // Every top-level window mapped so far, in order.
    const std::vector<mapped_window> &mapped() const { return mapped_; }
    // The first normal window of the process mapped so far, if any.
    const mapped_window *main_window_of(qint64 pid) const;

    // Dialogs of these processes are closed the moment they appear.
    void dismiss_dialogs_of(qint64 pid) { dismiss_.insert(pid); }
    int dialogs_dismissed() const { return dialogs_dismissed_; }

    void close_window(unsigned long id);

    // Clicks the left button at a point inside a window.
    bool click(unsigned long window, int x, int y);

private:
    void read_events();
    qint64 window_pid(unsigned long window);
    bool window_is_normal(unsigned long window);
    QString window_title(unsigned long window);

    _XDisplay *display_ = nullptr;
    QSocketNotifier *notifier_ = nullptr;
    std::vector<mapped_window> mapped_;
    QSet<qint64> dismiss_;
    int dialogs_dismissed_ = 0;
};

} // namespace orvalin::live
