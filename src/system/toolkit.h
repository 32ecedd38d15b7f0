#pragma once

// src/system: what every program needs from its surroundings: messages to
// the user, the program and data folders, the file test (this header), and
// the signal pipe (stop_signals). Includes Qt Core only.

#include <QString>

#include <functional>

// What the logic needs from its surroundings: messages to the user, the
// program directory and the file test. Programs and tests replace the message
// sink and the program directory through the hooks below.
namespace orvalin::toolkit {

enum message_style : int {
    style_ok_only = 0,
    style_critical = 16,
};

// Tells the user through the installed sink (the panel's modal message
// boxes); without one, writes one line to standard error. Without a title the
// application's name stands in.
void message_box(const QString &prompt, int style, const QString &title = QString());

// Directory of the running executable, without a trailing separator.
QString program_directory();

// The user's folder for data files, without a trailing separator: on Linux
// and other Unix systems $XDG_DATA_HOME, or ~/.local/share where that is
// unset, empty or not an absolute path (a relative one would depend on the
// working folder); elsewhere the system's place for it.
QString data_directory();

// Orvalin's folder in data_directory(): where an installed program keeps
// name.txt and the user's port entries (COM<n>).
QString app_data_directory();

// True for an existing regular file; false for a missing file, a directory
// or a hidden file.
bool file_exists(const QString &path);

// True when a new file can be made in dir.
bool directory_writable(const QString &dir);

struct message {
    QString prompt;
    int style = 0;
    QString title;
};
using message_sink = std::function<void(const message &)>;

// Routes messages to sink; an empty sink restores the default (standard
// error).
void set_message_sink(message_sink sink);

// Makes program_directory() answer dir; an empty dir restores the default.
void set_program_directory(const QString &dir);

} // namespace orvalin::toolkit
