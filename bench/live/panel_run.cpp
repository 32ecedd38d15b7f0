#include "panel_run.h"

#include "names/name_file.h"
#include "system/toolkit.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

namespace orvalin::live {

namespace {

class ignored_names final : public name_view {
public:
    void set_title(const QString &) override { }
    void set_caption(int, const QString &) override { }
};

} // namespace

program_dir::program_dir(const QString &executable, const QString &under)
    : dir_(QDir(under).filePath(QStringLiteral("orvalin-live-XXXXXX")))
{
    if (!dir_.isValid()) {
        error_
            = QStringLiteral("cannot make a directory under %1: %2").arg(under, dir_.errorString());
        return;
    }
    executable_ = dir_.filePath(QFileInfo(executable).fileName());
    // A hard link, not a symbolic one: the program directory is where the
    // link lies only for a hard link.
    if (::link(
            QFile::encodeName(executable).constData(), QFile::encodeName(executable_).constData())
            != 0
        && !QFile::copy(executable, executable_))
        error_ = QStringLiteral("cannot place %1 in %2").arg(executable, dir_.path());
}

bool program_dir::write_name_file()
{
    ignored_names view;
    toolkit::set_program_directory(QDir::toNativeSeparators(dir_.path()));
    toolkit::set_message_sink([](const toolkit::message &) {});
    ensure_name_file(view);
    toolkit::set_message_sink({});
    toolkit::set_program_directory({});
    return has_name_file();
}

void program_dir::remove_name_file()
{
    QFile::remove(dir_.filePath(QStringLiteral("name.txt")));
}

bool program_dir::has_name_file() const
{
    return QFileInfo(dir_.filePath(QStringLiteral("name.txt"))).isFile();
}

panel_process::panel_process(x_display &x)
    : x_(x)
{
    // Its output is of no interest and must never fill a pipe.
    process_.setStandardOutputFile(QProcess::nullDevice());
    process_.setStandardErrorFile(QProcess::nullDevice());
}

panel_process::~panel_process()
{
    if (running()) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

bool panel_process::start(const QString &executable, const QStringList &wrapper)
{
    QString program = executable;
    QStringList arguments;
    if (!wrapper.isEmpty()) {
        program = wrapper.front();
        arguments = wrapper.mid(1) << executable;
    }
    started_at_ = monotonic_ms();
    process_.start(program, arguments);
    return process_.waitForStarted(10000);
}

std::optional<double> panel_process::wait_for_window(
    std::chrono::milliseconds timeout, bool dismiss_dialogs)
{
    if (dismiss_dialogs)
        x_.dismiss_dialogs_of(pid());
    const qint64 id = pid();
    if (!wait_until([&] { return x_.main_window_of(id) != nullptr || !running(); }, timeout))
        return std::nullopt;
    const auto *window = x_.main_window_of(id);
    if (!window)
        return std::nullopt;
    window_ = window->id;
    return window->at_ms;
}

bool panel_process::click(int x, int y) const
{
    return window_ != 0 && x_.click(window_, x, y);
}

bool panel_process::close(std::chrono::milliseconds timeout)
{
    if (!running())
        return process_.exitStatus() == QProcess::NormalExit && process_.exitCode() == 0;
    if (window_ != 0)
        x_.close_window(window_);
    if (wait_until([this] { return !running(); }, timeout))
        return process_.exitStatus() == QProcess::NormalExit && process_.exitCode() == 0;
    process_.kill();
    process_.waitForFinished(5000);
    return false;
}

} // namespace orvalin::live
