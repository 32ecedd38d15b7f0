#include "ui/name_form.h"

#include "link/frame.h"
#include "names/name_file.h"
#include "names/profile.h"
#include "system/toolkit.h"
#include "ui/controls.h"
#include "ui/main_form.h"

#include <QLineEdit>
#include <QPushButton>

namespace orvalin {

namespace {

constexpr int client_width = 316;
constexpr int client_height = 126;
// 24 pt and the 9 pt of an ordinary Chinese dialog, at 96 dpi.
constexpr int name_pixels = 32;
constexpr int button_pixels = 12;

const QString design_text = QStringLiteral("Text1");

} // namespace

name_form::name_form(main_form &owner)
    : QWidget(&owner, Qt::Window)
    , owner_(owner)
    , mingcheng_(new QLineEdit(design_text, this))
    , Command_ok_(new QPushButton(QStringLiteral("确 定"), this))
    , Command_cansel_(new QPushButton(QStringLiteral("取 消"), this))
{
    setObjectName(QStringLiteral("name_form"));
    setWindowTitle(QStringLiteral("更改名称"));
    setFont(panel_font(button_pixels));
    resize(client_width, client_height);

    mingcheng_->setObjectName(QStringLiteral("mingcheng"));
    mingcheng_->setFont(panel_font(name_pixels));
    mingcheng_->setGeometry(64, 24, 209, 41);

    Command_ok_->setObjectName(QStringLiteral("Command_ok"));
    Command_ok_->setGeometry(80, 88, 65, 25);
    Command_cansel_->setObjectName(QStringLiteral("Command_cansel"));
    Command_cansel_->setGeometry(176, 88, 65, 25);
    for (QPushButton *button : { Command_ok_, Command_cansel_ }) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }

    setTabOrder(mingcheng_, Command_ok_);
    setTabOrder(Command_ok_, Command_cansel_);

    connect(Command_ok_, &QPushButton::clicked, this, &name_form::Command_ok_click);
    connect(Command_cansel_, &QPushButton::clicked, this, &name_form::Command_cansel_click);
}

void name_form::show_modeless()
{
    if (isVisible()) {
        if (isMinimized())
            showNormal();
        raise();
        activateWindow();
        return;
    }
    load();
    show();
    activateWindow();
    mingcheng_->setFocus(Qt::OtherFocusReason);
}

void name_form::load()
{
    // Every load starts from the design-time box, as a freshly loaded
    // dialog would.
    mingcheng_->setText(design_text);

    // An address that is not a number at all counts as out of range.
    const auto address = whole_number(add);
    const auto channel = whole_number(xianlu);
    if (!address || *address > 255 || !channel || *channel < 1 || *channel > channel_total)
        return;
    if (in_or_out != output_group && in_or_out != input_group)
        return;
    mingcheng_->setText(
        read_profile(name_file_path(), channel_section(add), channel_key(xianlu, group_kind())));
}

void name_form::Command_ok_click()
{
    if (in_or_out == output_group || in_or_out == input_group) {
        const QString path = name_file_path();
        const QString text = mingcheng_->text();
        names_failure failure;
        const int written = write_profile(
            path, channel_section(add), channel_key(xianlu, group_kind()), text, &failure);
        // A missing file has been reported by write_profile itself, and the
        // reload below shows the same for every caption. Any other refusal
        // would go unseen: say so and keep the text for another try.
        if (written == 0 && toolkit::file_exists(path)) {
            const QString reason = names_problem_text_zh(failure);
            const QString prompt = !fits_one_line(text)
                ? QStringLiteral("名称中不能有换行符。名称没有保存。")
                : reason.isEmpty()
                ? QStringLiteral("无法写入名称文件 %1。名称没有保存。").arg(path)
                : QStringLiteral("无法写入名称文件 %1（%2）。名称没有保存。").arg(path, reason);
            toolkit::message_box(prompt, toolkit::style_critical, windowTitle());
            return;
        }
    }
    owner_.add_Change();
    close();
}

channel_kind name_form::group_kind() const
{
    return in_or_out == output_group ? channel_kind::output : channel_kind::input;
}

void name_form::Command_cansel_click()
{
    close();
}

} // namespace orvalin
