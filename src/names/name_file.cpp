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
constexpr int channels = 8;

QList<profile_entry> default_entries()
{
    QList<profile_entry> entries;
    entries.reserve(1 + (last_address + 1) * 2 * channels);
    entries.append({ title_section, title_key, default_title });
    for (int address = 0; address <= last_address; ++address) {
        const QString section = channel_section(QString::number(address));
        for (int k = 1; k <= channels; ++k) {
            const QString channel = QString::number(k);
            entries.append(
                { section, channel_key(channel, true), QStringLiteral("输出") + channel });
            entries.append(
                { section, channel_key(channel, false), QStringLiteral("输入") + channel });
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
    const QString data_dir = toolkit::data_directory() + QStringLiteral("/orvalin");
    return QDir::toNativeSeparators(data_dir + QStringLiteral("/name.txt"));
}

QString channel_section(const QString &address_text)
{
    return QStringLiteral("地址码") + address_text;
}

QString channel_key(const QString &channel, bool output)
{
    return QStringLiteral("第") + channel
        + (output ? QStringLiteral("路输出名称") : QStringLiteral("路输入名称"));
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
    for (int k = 1; k <= channels; ++k) {
        const QString channel = QString::number(k);
        view.set_caption(k,
            read_profile(
                name_file_path(), channel_section(address_text), channel_key(channel, true)));
        view.set_caption(2 * channels + 1 - k,
            read_profile(
                name_file_path(), channel_section(address_text), channel_key(channel, false)));
    }
}

} // namespace orvalin
