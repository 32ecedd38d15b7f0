#pragma once

// src/ui: the panel's windows (this main window and the name dialog), their
// controls (lamps, spinners, clickable captions), the icon and the modal
// message boxes. No protocol or file logic lives here: the folder may
// include src/control, src/link, src/names, src/system and Qt Widgets, never
// src/cli or src/service.

#include "control/panel_view.h"
#include "names/name_file.h"

#include <QWidget>

#include <array>

class QLabel;
class QLineEdit;
class QPushButton;

namespace orvalin {

class caption_label;
class click_label;
class controller;
class lamp;
class name_form;
class serial_port;
class spinner;

// The main window: port and address boxes with their spinners, the 16 lamps
// with their state texts, the 16 channel captions and the two all-outputs
// buttons. It owns the poll cycle and wires its controls to it; the controller
// and the name-file logic see it only as a panel_view and a name_view.
//
// Controls carry their design names as object names ("add", "VScroll1",
// "Picture1(3)", "Label2(3)", "Label4(3)", ...); element k of an array is
// output k for k <= 8 and input 17 - k above.
class main_form final : public QWidget, public panel_view, public name_view {
    Q_OBJECT

public:
    // Runs start-up up to the showing: the controls in their design-time
    // state with Timer1 ticking, ensure_name_file (its messages appear now,
    // before the window does), then the captions for the address "1". Opens
    // no port. `port` must outlive the window.
    explicit main_form(serial_port &port, QWidget *parent = nullptr);
    ~main_form() override;

    // Shows the window centred on its screen with the focus in chuankou_num.
    void show_centred();

    // The change handler of `add`, also called after a name was stored: sets
    // VScroll1 from the text (when it is a number) and reloads the 16
    // captions for the text as it stands.
    void add_Change();

    // panel_view
    QString address_text() const override;
    QString port_text() const override;
    void set_lamp_colour(int element, const QColor &colour) override;
    QColor lamp_colour(int element) const override;
    void set_state_text(int element, const QString &text) override;
    void set_openall_enabled(bool enabled) override;
    void set_closeall_enabled(bool enabled) override;
    void set_port_box_enabled(bool enabled) override;
    void set_port_button_caption(const QString &caption) override;
    void port_failed(const QString &device, const port_failure &failure, bool while_open) override;

    // name_view
    void set_title(const QString &title) override;
    void set_caption(int element, const QString &caption) override;

signals:
    // After every caption reload, with the address text it used.
    void captions_reloaded(const QString &address_text);

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void create_controls();
    void connect_controls();
    void chuankou_num_Change();
    void VScroll1_Change(int value);
    void VScroll2_Change(int value);
    void Label4_click(int element);
    void reload_captions();
    void show_port_tip();

    QLabel *Label3_ = nullptr;
    QLineEdit *chuankou_num_ = nullptr;
    spinner *VScroll2_ = nullptr;
    QPushButton *open_comm_ = nullptr;
    QLabel *Label5_ = nullptr;
    QLineEdit *add_ = nullptr;
    spinner *VScroll1_ = nullptr;
    QPushButton *openall_ = nullptr;
    QPushButton *closeall_ = nullptr;
    // Indexed by element 1..16; entry 0 is unused.
    std::array<lamp *, channel_total + 1> Picture1_ {};
    std::array<click_label *, channel_total + 1> Label2_ {};
    std::array<caption_label *, channel_total + 1> Label4_ {};

    serial_port &port_;
    controller *controller_ = nullptr;
    // Created at the first caption click, kept for the program's life.
    name_form *name_form_ = nullptr;
};

} // namespace orvalin
