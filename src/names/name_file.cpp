#include "names/name_file.h"

#include "names/profile.h"
#include "system/toolkit.h"

#include <QDir>
#include <QFileInfo>

namespace orvalin {

namespace {

const QString title_section = QStringLiteral("软件属性");
const QString title_key = QStringLiteral("名称");
const QString default_title = QStringLiteral("Orvalin");
// The file counts as complete only with this header line.
const QString marker_section = QStringLiteral("地址码0");

constexpr int last_address = 255;

QList<profile_entry> default_entries()
{
    QList<profile_entry> entries;
    entries.reserve(1 + (last_address + 1) * channel_total);
    entries.append({ title_section, title_key, default_title });
    for (int address = 0; address <= last_address; ++address) {
        const QString section = channel_section(QString::number(address));
        for (int k = 1; k <= channels_per_kind; ++k) {
            const QString number = QString::number(k);
            entries.append({ section, channel_key({ channel_kind::output, k }),
                QStringLiteral("输出") + number });
            entries.append({ section, channel_key({ channel_kind::input, k }),
                QStringLiteral("输入") + number });
        }
    }
    return entries;
}

} // namespace

QString name_file_path()
{
    QString dir = toolkit::program_directory();
    // A file-system root is reported with its separator already.
    if (!dir.endsWith(QDir::separator()))
        dir += QDir::separator();
    const QString beside = dir + QStringLiteral("name.txt");
    if (QFileInfo::exists(beside) || toolkit::directory_writable(dir))
        return beside;
    // An installed program's folder belongs to the system.
    return QDir::toNativeSeparators(toolkit::app_data_directory() + QStringLiteral("/name.txt"));
}

QString channel_section(const QString &address_text)
{
    return QStringLiteral("地址码") + address_text;
}

QString channel_key(const QString &number_text, channel_kind kind)
{
    return QStringLiteral("第") + number_text
        + (kind == channel_kind::output ? QStringLiteral("路输出名称")
                                        : QStringLiteral("路输入名称"));
}

QString channel_key(channel c)
{
    return channel_key(QString::number(c.number), c.kind);
}

channel_names read_channel_names(const QString &path, const QString &address_text)
{
    channel_names names;
    for (int k = 0; k < channels_per_kind; ++k) {
        names.outputs.append(QString());
        names.inputs.append(QString());
    }
    // Checked first: read_profile would show "File Not Found" for each name.
    if (path.isEmpty() || !toolkit::file_exists(path))
        return names;
    const QString section = channel_section(address_text);
    if (!has_section(path, section)) {
        names.found = names_found::no_section;
        return names;
    }
    names.found = names_found::section;
    for (const channel c : all_channels())
        (c.is_output() ? names.outputs : names.inputs)[c.number - 1]
            = read_profile(path, section, channel_key(c));
    return names;
}

void ensure_name_file(name_view &view)
{
    const QString path = name_file_path();
    if (section_exists(path, marker_section)) {
        view.set_title(read_profile(path, title_section, title_key));
        return;
    }
    // A file that cannot be read is left alone: a rebuild would lose
    // whatever it holds.
    if (const names_failure failure = read_failure(path)) {
        view.set_title(default_title);
        toolkit::message_box(QStringLiteral("无法读取名称文件 %1：%2。名称文件没有被改动。")
                                 .arg(path, names_problem_text_zh(failure)),
            toolkit::style_critical, default_title);
        return;
    }
    // One write of the whole default content, added to whatever the file
    // already holds without replacing a name that is there. Only this first
    // start makes the data folder; readers (orvalinctl, the service) never do.
    QDir().mkpath(QFileInfo(path).absolutePath());
    names_failure failure;
    if (add_profile_entries(path, default_entries(), &failure) == 0) {
        view.set_title(default_title);
        toolkit::message_box(
            QStringLiteral("无法写入名称文件 %1（%2）。").arg(path, names_problem_text_zh(failure)),
            toolkit::style_critical, default_title);
        return;
    }
    // A title kept from before shows, as at any other start.
    view.set_title(read_profile(path, title_section, title_key));
    toolkit::message_box(QStringLiteral("名称文件被创建。"), toolkit::style_ok_only);
}

void load_names(name_view &view, const QString &address_text)
{
    // Not read_channel_names: a missing file is said once per name, and each
    // caption changes as its name is read.
    for (int k = 1; k <= channels_per_kind; ++k) {
        for (const channel c :
            { channel { channel_kind::output, k }, channel { channel_kind::input, k } })
            view.set_caption(element_of(c),
                read_profile(name_file_path(), channel_section(address_text), channel_key(c)));
    }
}

} // namespace orvalin
