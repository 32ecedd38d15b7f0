#pragma once

#include <QColor>
#include <QFont>
#include <QFrame>
#include <QLabel>
#include <QValidator>
#include <QWidget>

class QMouseEvent;
class QScrollBar;

namespace orvalin {

// The panel's typeface at a size in pixels (so the layout does not depend on
// the screen's DPI): 宋体 where installed, otherwise an installed CJK face.
QFont panel_font(int pixel_size);

// A click of the left button: pressed, then released over the same widget.
class click_tracker {
public:
    void press(QMouseEvent *event);
    // True when this release completes a click inside area.
    bool release(QMouseEvent *event, const QRect &area);

private:
    bool pressed_ = false;
};

// A label that reports a click of the left button (press and release over it).
class click_label : public QLabel {
    Q_OBJECT

public:
    using QLabel::QLabel;

signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    click_tracker click_;
};

// A channel caption: a clickable label whose text wraps (between words, or
// anywhere within a word too long for a line) onto lines half the label's
// height apart, so that two lines of text fit at every typeface: 宋体 is
// exactly as tall as its size, most fallback faces are taller. Lines beyond
// the label's height are cut off.
class caption_label : public click_label {
    Q_OBJECT

public:
    using click_label::click_label;

protected:
    void paintEvent(QPaintEvent *event) override;
};

// An indicator lamp: a box with a sunken 2-pixel border, filled with its
// colour. colour() returns exactly the value last set, since the lamp's state
// is read back from it.
class lamp : public QFrame {
    Q_OBJECT

public:
    static constexpr int border = 2;

    explicit lamp(QWidget *parent = nullptr);

    QColor colour() const { return colour_; }
    void set_colour(const QColor &colour);

signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    QColor colour_;
    click_tracker click_;
};

// A vertical scroll bar used as a spinner for 0..255: 255 at the top end, the
// up arrow (and the Up key, and the wheel turned up) raises the value by 1,
// no wrap at either end. value_changed is emitted only when the value really
// changes, also when the program sets it.
class spinner : public QWidget {
    Q_OBJECT

public:
    static constexpr int minimum = 0;
    static constexpr int maximum = 255;

    explicit spinner(QWidget *parent = nullptr);

    int value() const;
    // Clamped to 0..255.
    void set_value(int value);

    // While held, the spinner takes no step from the user (arrow, key, wheel,
    // drag): a step tried then is undone and ends the press of the bar, so
    // its auto-repeat stops. For work that may show modal messages, which
    // take the press's release away from the bar.
    void set_held(bool held) { held_ = held; }
    bool held() const { return held_; }
    // Ends a press of the bar in progress, as its release would.
    void end_press();

signals:
    void value_changed(int value);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    // A plain scroll bar has its minimum at the top and its up arrow lowers
    // the value; running it over -255..0 gives the spinner's direction.
    QScrollBar *bar_;
    bool held_ = false;
};

// Accepts the decimal text of a number 0..255: up to three ASCII digits. The
// empty text is intermediate, everything else is refused, so the box never
// holds a letter, a sign or a value above 255.
class byte_text_validator : public QValidator {
    Q_OBJECT

public:
    using QValidator::QValidator;
    State validate(QString &input, int &pos) const override;
};

} // namespace orvalin
