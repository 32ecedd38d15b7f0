#pragma once

#include "link/channel.h"

#include <QString>
#include <QWidget>

class QLineEdit;
class QPushButton;

namespace orvalin {

class main_form;

// The rename dialog: shows the stored name of one channel of one address in
// `mingcheng`; OK stores the text as that channel's name and reloads the main
// window's captions, Cancel (or the title-bar close) stores nothing.
//
// One instance lives as long as the main window. Closing only hides it; the
// next show_modeless() loads it again. Neither Enter nor Escape is bound.
class name_form final : public QWidget {
    Q_OBJECT

public:
    static inline const QString output_group = QStringLiteral("输出");
    static inline const QString input_group = QStringLiteral("输入");

    explicit name_form(main_form &owner);

    // Set by the opener before show_modeless(); read at load and at OK.
    // add: the address text as the main window showed it at the click.
    // xianlu: channel number "1".."8" within its group.
    // in_or_out: output_group or input_group.
    QString add;
    QString xianlu;
    QString in_or_out;

    // A closed dialog loads (reads the name into the box) and shows; an open
    // one only comes to the front, keeping the text in its box.
    void show_modeless();

private:
    void load();
    void Command_ok_click();
    void Command_cansel_click();
    // Output for output_group, input otherwise.
    channel_kind group_kind() const;

    main_form &owner_;
    QLineEdit *mingcheng_;
    QPushButton *Command_ok_;
    QPushButton *Command_cansel_;
};

} // namespace orvalin
