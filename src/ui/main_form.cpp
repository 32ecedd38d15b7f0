#include "ui/main_form.h"

#include "control/controller.h"
#include "link/frame.h"
#include "link/port_list.h"
#include "link/serial_port.h"
#include "system/toolkit.h"
#include "ui/app_icon.h"
#include "ui/controls.h"
#include "ui/name_form.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFocusEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

#include <memory>

namespace orvalin {

namespace {

constexpr int client_width = 448;
constexpr int client_height = 531;
constexpr int row_pitch = 48;

// 15 pt and 15.75 pt at 96 dpi.
constexpr int text_pixels = 20;
constexpr int heading_pixels = 21;

const QColor design_lamp_colour(255, 255, 0);

// Writes a spinner's value into its box; rewriting equal text would move the
// cursor of someone typing.
void show_value(QLineEdit *box, int value)
{
    const QString text = QString::number(value);
    if (box->text() != text)
        box->setText(text);
}

// A box left empty shows its spinner's value again, so the numbers read by
// the poll cycle, the port button and the rename dialog are never missing
// for long.
void refill_if_empty(QLineEdit *box, const spinner *bar)
{
    if (box->text().isEmpty())
        box->setText(QString::number(bar->value()));
}

QString element_name(const char *array, int element)
{
    return QStringLiteral("%1(%2)").arg(QLatin1String(array)).arg(element);
}

QString design_caption(int element)
{
    static const QStringList numbers {
        QString(),
        QStringLiteral("一"),
        QStringLiteral("二"),
        QStringLiteral("三"),
        QStringLiteral("四"),
        QStringLiteral("五"),
        QStringLiteral("六"),
        QStringLiteral("七"),
        QStringLiteral("八"),
        QStringLiteral("九"),
        QStringLiteral("十"),
        QStringLiteral("十一"),
        QStringLiteral("十二"),
        QStringLiteral("十三"),
        QStringLiteral("十四"),
        QStringLiteral("十五"),
        QStringLiteral("十六"),
    };
    return QStringLiteral("第%1路").arg(numbers.at(element));
}

// Row 1..8 from the top: a channel's number; outputs on the left, inputs on
// the right.
int row_of(int element)
{
    return channel_of_element(element).number;
}

bool in_left_column(int element)
{
    return channel_of_element(element).is_output();
}

QRect lamp_rect(int element)
{
    const int top = 104 + row_pitch * (row_of(element) - 1);
    return in_left_column(element) ? QRect(96, top, 89, 41) : QRect(256, top, 89, 41);
}

QRect caption_rect(int element)
{
    const int top = 112 + row_pitch * (row_of(element) - 1);
    return in_left_column(element) ? QRect(8, top, 89, 41) : QRect(352, top, 89, 41);
}

void set_black_text(QWidget *widget)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, Qt::black);
    palette.setColor(QPalette::Text, Qt::black);
    widget->setPalette(palette);
}

QLabel *make_heading(QWidget *parent, const char *name, const QString &text, const QRect &rect)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setFont(panel_font(heading_pixels));
    label->setGeometry(rect);
    set_black_text(label);
    return label;
}

QLineEdit *make_number_box(QWidget *parent, const char *name, const QRect &rect)
{
    auto *box = new QLineEdit(QStringLiteral("1"), parent);
    box->setObjectName(QLatin1String(name));
    box->setFont(panel_font(text_pixels));
    box->setGeometry(rect);
    box->setValidator(new byte_text_validator(box));
    set_black_text(box);
    return box;
}

QPushButton *make_button(QWidget *parent, const char *name, const QString &text, const QRect &rect)
{
    auto *button = new QPushButton(text, parent);
    button->setObjectName(QLatin1String(name));
    button->setFont(panel_font(heading_pixels));
    button->setGeometry(rect);
    button->setAutoDefault(false);
    return button;
}

spinner *make_spinner(QWidget *parent, const char *name, const QRect &rect)
{
    auto *bar = new spinner(parent);
    bar->setObjectName(QLatin1String(name));
    bar->setGeometry(rect);
    bar->set_value(1);
    return bar;
}

// Tells whether the event loop ran since it was made, as it does while a
// modal message is shown.
class loop_probe {
public:
    loop_probe()
    {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [ran = ran_] { *ran = true; }, Qt::QueuedConnection);
    }
    bool ran() const { return *ran_; }

private:
    std::shared_ptr<bool> ran_ = std::make_shared<bool>(false);
};

} // namespace

main_form::main_form(serial_port &port, QWidget *parent)
    : QWidget(parent,
        Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
            | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint)
    , port_(port)
{
    setObjectName(QStringLiteral("main_form"));
    setWindowTitle(QStringLiteral("Orvalin"));
    setWindowIcon(app_icon());
    setFixedSize(client_width, client_height);

    create_controls();
    controller_ = new controller(*this, port, this);
    connect_controls();

    ensure_name_file(*this);
    reload_captions();
    show_port_tip();
}

main_form::~main_form() = default;

void main_form::create_controls()
{
    Label3_ = make_heading(this, "Label3", QStringLiteral("串口号"), { 8, 8, 89, 25 });
    chuankou_num_ = make_number_box(this, "chuankou_num", { 112, 8, 41, 25 });
    VScroll2_ = make_spinner(this, "VScroll2", { 152, 8, 25, 25 });
    open_comm_ = make_button(this, "open_comm", QStringLiteral("打开串口"), { 256, 8, 97, 25 });
    Label5_ = make_heading(this, "Label5", QStringLiteral("模块地址"), { 8, 56, 89, 25 });
    add_ = make_number_box(this, "add", { 112, 56, 46, 25 });
    VScroll1_ = make_spinner(this, "VScroll1", { 154, 56, 25, 25 });

    for (int k = 1; k <= channel_total; ++k) {
        auto *caption = new caption_label(design_caption(k), this);
        caption->setObjectName(element_name("Label4", k));
        caption->setTextFormat(Qt::PlainText);
        caption->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        caption->setWordWrap(true);
        caption->setFont(panel_font(text_pixels));
        caption->setGeometry(caption_rect(k));
        set_black_text(caption);
        Label4_[k] = caption;

        auto *box = new lamp(this);
        box->setObjectName(element_name("Picture1", k));
        box->setGeometry(lamp_rect(k));
        box->set_colour(design_lamp_colour);
        box->setFocusPolicy(Qt::StrongFocus);
        Picture1_[k] = box;

        // Transparent, so the lamp's colour shows through; placed relative
        // to the inside of the lamp's border.
        auto *state = new click_label(QStringLiteral("状态未知"), box);
        state->setObjectName(element_name("Label2", k));
        state->setTextFormat(Qt::PlainText);
        state->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        state->setFont(panel_font(text_pixels));
        state->setGeometry(lamp::border + 0, lamp::border + 8, 81, 25);
        set_black_text(state);
        Label2_[k] = state;
    }

    openall_ = make_button(this, "openall", QStringLiteral("吸合所有"), { 112, 496, 97, 25 });
    closeall_ = make_button(this, "closeall", QStringLiteral("断开所有"), { 240, 496, 97, 25 });

    setTabOrder(chuankou_num_, open_comm_);
    setTabOrder(open_comm_, add_);
    setTabOrder(add_, openall_);
    setTabOrder(openall_, closeall_);
    setTabOrder(closeall_, VScroll1_);
    setTabOrder(VScroll1_, VScroll2_);
    setTabOrder(VScroll2_, Picture1_[1]);
    for (int k = 1; k < channel_total; ++k)
        setTabOrder(Picture1_[k], Picture1_[k + 1]);
}

void main_form::connect_controls()
{
    connect(add_, &QLineEdit::textChanged, this, &main_form::add_Change);
    connect(VScroll1_, &spinner::value_changed, this, &main_form::VScroll1_Change);
    connect(chuankou_num_, &QLineEdit::textChanged, this, &main_form::chuankou_num_Change);
    connect(VScroll2_, &spinner::value_changed, this, &main_form::VScroll2_Change);
    add_->installEventFilter(this);
    chuankou_num_->installEventFilter(this);

    connect(open_comm_, &QPushButton::clicked, controller_, &controller::open_comm_click);
    connect(openall_, &QPushButton::clicked, controller_, &controller::openall_click);
    connect(closeall_, &QPushButton::clicked, controller_, &controller::closeall_click);
    for (int k = 1; k <= channel_total; ++k) {
        connect(Picture1_[k], &lamp::clicked, controller_,
            [this, k] { controller_->picture1_click(k); });
        connect(Label2_[k], &click_label::clicked, controller_,
            [this, k] { controller_->label2_click(k); });
        connect(Label4_[k], &click_label::clicked, this, [this, k] { Label4_click(k); });
    }
}

void main_form::show_centred()
{
    const QScreen *screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (screen) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    show();
    activateWindow();
    chuankou_num_->setFocus(Qt::OtherFocusReason);
}

void main_form::add_Change()
{
    // The box admits only digits up to 255, so the text is a number unless
    // it is empty; an empty box leaves the spinner where it was.
    if (const auto address = whole_number(add_->text()))
        VScroll1_->set_value(*address);
    reload_captions();
}

void main_form::reload_captions()
{
    const QString address = add_->text();
    // A name file that is missing or unreadable shows modal messages from
    // inside the reload, mostly inside the press of a spinner's arrow. The
    // message takes the release, and the bar's auto-repeat would step on and
    // bring a new round of messages with every step. So no step is taken
    // while the captions load, and a press still on afterwards ends if a
    // message ran the event loop meanwhile.
    const bool was_held = VScroll1_->held();
    VScroll1_->set_held(true);
    VScroll2_->set_held(true);
    const loop_probe messages_shown;
    load_names(*this, address);
    VScroll1_->set_held(was_held);
    VScroll2_->set_held(was_held);
    if (messages_shown.ran()) {
        VScroll1_->end_press();
        VScroll2_->end_press();
    }
    emit captions_reloaded(address);
}

void main_form::VScroll1_Change(int value)
{
    show_value(add_, value);
}

void main_form::chuankou_num_Change()
{
    if (const auto number = whole_number(chuankou_num_->text()))
        VScroll2_->set_value(*number);
    show_port_tip();
}

// What the number in the box stands for now: entries and adapters come and
// go while the panel runs, so it is looked up at every change.
void main_form::show_port_tip()
{
    const auto number = whole_number(chuankou_num_->text());
    if (!number) {
        chuankou_num_->setToolTip(QString());
        return;
    }
    const QString device = port_.device_for_number(std::int16_t(*number));
    const auto described = describe_device(device, installed_device_tree());
    chuankou_num_->setToolTip(QStringLiteral("串口 %1：").arg(*number)
        + (described ? device_summary_zh(*described) : QStringLiteral("没有对应的设备")));
}

void main_form::VScroll2_Change(int value)
{
    show_value(chuankou_num_, value);
}

void main_form::Label4_click(int element)
{
    // A name is always filed under an address.
    refill_if_empty(add_, VScroll1_);

    if (!name_form_)
        name_form_ = new name_form(*this);
    name_form_->add = add_->text();
    const channel named = channel_of_element(element);
    name_form_->in_or_out = named.is_output() ? name_form::output_group : name_form::input_group;
    name_form_->xianlu = QString::number(named.number);
    name_form_->show_modeless();
}

bool main_form::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::FocusOut
        && static_cast<QFocusEvent *>(event)->reason() != Qt::PopupFocusReason) {
        if (watched == add_)
            refill_if_empty(add_, VScroll1_);
        else if (watched == chuankou_num_)
            refill_if_empty(chuankou_num_, VScroll2_);
    }
    return QWidget::eventFilter(watched, event);
}

void main_form::closeEvent(QCloseEvent *event)
{
    // The program ends with its main window, also while a name is edited.
    if (name_form_)
        name_form_->close();
    QWidget::closeEvent(event);
}

QString main_form::address_text() const
{
    return add_->text();
}

QString main_form::port_text() const
{
    return chuankou_num_->text();
}

void main_form::set_lamp_colour(int element, const QColor &colour)
{
    Picture1_.at(element)->set_colour(colour);
}

QColor main_form::lamp_colour(int element) const
{
    return Picture1_.at(element)->colour();
}

void main_form::set_state_text(int element, const QString &text)
{
    Label2_.at(element)->setText(text);
}

void main_form::set_openall_enabled(bool enabled)
{
    openall_->setEnabled(enabled);
}

void main_form::set_closeall_enabled(bool enabled)
{
    closeall_->setEnabled(enabled);
}

void main_form::set_port_box_enabled(bool enabled)
{
    chuankou_num_->setEnabled(enabled);
}

void main_form::set_port_button_caption(const QString &caption)
{
    open_comm_->setText(caption);
}

void main_form::port_failed(const QString &device, const port_failure &failure, bool while_open)
{
    QString port = device;
    if (port.isEmpty())
        port = chuankou_num_->text().isEmpty() ? QStringLiteral("（未填写）")
                                               : chuankou_num_->text();
    // Our reason in Chinese first, the system's own words after it.
    QString reason = problem_text_zh(failure.problem);
    if (reason.isEmpty())
        reason = problem_text_zh(port_problem::other);
    if (!failure.system_text.isEmpty())
        reason += QStringLiteral("（%1）").arg(failure.system_text);
    const QString prompt = while_open ? QStringLiteral("串口 %1 已断开：%2。")
                                      : QStringLiteral("无法打开串口 %1：%2。");
    toolkit::message_box(prompt.arg(port, reason), toolkit::style_critical);
}

void main_form::set_title(const QString &title)
{
    // Qt takes "[*]" for the modified marker and drops it; doubled, it shows
    // as written.
    setWindowTitle(QString(title).replace(QStringLiteral("[*]"), QStringLiteral("[*][*]")));
}

void main_form::set_caption(int element, const QString &caption)
{
    Label4_.at(element)->setText(caption);
}

} // namespace orvalin
