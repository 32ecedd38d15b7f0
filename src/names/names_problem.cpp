#include "names/names_problem.h"

#include "names/profile_store.h"

namespace orvalin {

namespace {

QString not_regular_zh(const QString &kind)
{
    return QStringLiteral("它不是普通文件，而是%1").arg(kind);
}

QString phrase_zh(names_problem problem)
{
    switch (problem) {
    case names_problem::none:
        return {};
    case names_problem::directory:
        return not_regular_zh(QStringLiteral("文件夹"));
    case names_problem::character_device:
        return not_regular_zh(QStringLiteral("字符设备"));
    case names_problem::block_device:
        return not_regular_zh(QStringLiteral("块设备"));
    case names_problem::fifo:
        return not_regular_zh(QStringLiteral("命名管道"));
    case names_problem::socket:
        return not_regular_zh(QStringLiteral("套接字"));
    case names_problem::special_file:
        return not_regular_zh(QStringLiteral("特殊文件"));
    case names_problem::not_regular_file:
        return QStringLiteral("它不是普通文件");
    case names_problem::link_to_nowhere:
        return QStringLiteral("它是一个不通向任何文件的符号链接（目标不存在或链接成环）");
    case names_problem::too_large:
        return QStringLiteral("文件大于 %1 MiB").arg(profile_store::file_size_limit >> 20);
    case names_problem::no_read_permission:
        return QStringLiteral("没有读取权限");
    case names_problem::read_error:
        return QStringLiteral("无法读取");
    case names_problem::no_write_permission:
        return QStringLiteral("没有写入权限");
    case names_problem::write_error:
        break;
    case names_problem::disk_full:
        return QStringLiteral("磁盘已满");
    case names_problem::in_use:
        return QStringLiteral("文件正被另一个程序使用");
    case names_problem::invalid_entry:
        return QStringLiteral("名称、节名或键名无法存入名称文件");
    case names_problem::damaged_utf16:
        return QStringLiteral("UTF-16 文本已损坏");
    case names_problem::encoding_unknown:
        return QStringLiteral("无法判断文本编码");
    case names_problem::encoding_would_change:
        return QStringLiteral("保存后文件将无法按原有编码读回");
    }
    return QStringLiteral("系统报告错误");
}

QString not_regular_en(const QString &kind)
{
    return QStringLiteral("it is %1, not a regular file").arg(kind);
}

QString phrase_en(names_problem problem)
{
    switch (problem) {
    case names_problem::none:
        return {};
    case names_problem::directory:
        return not_regular_en(QStringLiteral("a directory"));
    case names_problem::character_device:
        return not_regular_en(QStringLiteral("a character device"));
    case names_problem::block_device:
        return not_regular_en(QStringLiteral("a block device"));
    case names_problem::fifo:
        return not_regular_en(QStringLiteral("a named pipe"));
    case names_problem::socket:
        return not_regular_en(QStringLiteral("a socket"));
    case names_problem::special_file:
        return not_regular_en(QStringLiteral("a special file"));
    case names_problem::not_regular_file:
        return QStringLiteral("it is not a regular file");
    case names_problem::link_to_nowhere:
        return QStringLiteral(
            "it is a symbolic link that leads to no file (missing target or a loop)");
    case names_problem::too_large:
        return QStringLiteral("the file is larger than %1 MiB")
            .arg(profile_store::file_size_limit >> 20);
    case names_problem::no_read_permission:
        return QStringLiteral("no permission to read it");
    case names_problem::read_error:
        return QStringLiteral("it cannot be read");
    case names_problem::no_write_permission:
        return QStringLiteral("no permission to write it");
    case names_problem::write_error:
        break;
    case names_problem::disk_full:
        return QStringLiteral("the disk is full");
    case names_problem::in_use:
        return QStringLiteral("another program is using the file");
    case names_problem::invalid_entry:
        return QStringLiteral("the section, key or name cannot be stored in the file");
    case names_problem::damaged_utf16:
        return QStringLiteral("damaged UTF-16 text");
    case names_problem::encoding_unknown:
        return QStringLiteral("the text encoding cannot be told");
    case names_problem::encoding_would_change:
        return QStringLiteral("the text would no longer read back in the file's encoding");
    }
    return QStringLiteral("the system reported an error");
}

} // namespace

QString names_problem_text_zh(const names_failure &failure)
{
    QString text = phrase_zh(failure.problem);
    if (failure && !failure.system_text.isEmpty())
        text += QStringLiteral("（%1）").arg(failure.system_text);
    return text;
}

QString names_problem_text_en(const names_failure &failure)
{
    QString text = phrase_en(failure.problem);
    if (failure && !failure.system_text.isEmpty())
        text += QStringLiteral(" (%1)").arg(failure.system_text);
    return text;
}

} // namespace orvalin
