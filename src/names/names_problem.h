#pragma once

#include <QString>

namespace orvalin {

// Why a name file could not be read or written, as a value: each front end
// words it in its own language (the panel in Chinese, orvalinctl in English).
enum class names_problem {
    none,
    // Not a regular file, and what it is instead.
    directory,
    character_device,
    block_device,
    fifo,
    socket,
    special_file, // some other kind the system names
    not_regular_file, // the kind is not known
    link_to_nowhere, // a symbolic link whose target is missing, or a loop
    too_large, // over profile_store::file_size_limit
    no_read_permission,
    read_error,
    no_write_permission,
    write_error,
    disk_full, // or the user's quota is used up
    in_use, // another program held the lock all the while
    invalid_entry, // a section, key or name that no profile line can keep
    damaged_utf16, // a UTF-16 file that would not convert back to its bytes
    encoding_unknown, // zero bytes that show no encoding
    encoding_would_change, // the saved text would read back in another encoding
};

struct names_failure {
    names_problem problem = names_problem::none;
    // The system's own words, where it gave any, for the brackets behind ours.
    QString system_text;

    explicit operator bool() const { return problem != names_problem::none; }
};

// The panel's words: one short Chinese phrase, the system's text in brackets
// behind it. "" for none.
QString names_problem_text_zh(const names_failure &failure);
// orvalinctl's words: the same in English.
QString names_problem_text_en(const names_failure &failure);

} // namespace orvalin
