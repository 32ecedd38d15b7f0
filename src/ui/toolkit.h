#pragma once

#include <QString>

#include <functional>

// What the logic needs from the forms toolkit beyond widgets: modal message
// boxes, the program directory and the file test. Tests replace the message
// box and the program directory through the hooks below.
namespace orvalin::toolkit {

enum message_style : int {
    style_ok_only = 0,
    style_critical = 16,
};

// Modal; without a title the box shows the application's name.
void message_box(const QString &prompt, int style, const QString &title = QString());

// Directory of the running executable, without a trailing separator.
QString program_directory();

// True for an existing regular file; false for a missing file, a directory
// or a hidden file.
bool file_exists(const QString &path);

struct message {
    QString prompt;
    int style = 0;
    QString title;
};
using message_sink = std::function<void(const message &)>;

// Routes message boxes to sink instead of the screen; an empty sink restores
// the default. Without a QApplication the default writes to standard error.
void set_message_sink(message_sink sink);

// Makes program_directory() answer dir; an empty dir restores the default.
void set_program_directory(const QString &dir);

} // namespace orvalin::toolkit
