#pragma once

#include "names/names_problem.h"

#include <QList>
#include <QString>

// Profile files: text files of "[section]" header lines and "key=value" lines,
// stored as GB18030 (byte-identical to GBK for every character GBK has) with
// CR LF line ends. A file that starts with a UTF-8, UTF-16 LE or UTF-16 BE
// byte-order mark is read and written in that encoding, the mark kept; so is
// UTF-16 without a mark, which its zero bytes give away; a write whose text
// would no longer give it away is refused. A file whose zero bytes tell no
// encoding is read as GB18030 but never written. As in code page 936, the
// single byte 0x80 is the euro sign, and the sign is written so. Each call
// finds the file anew and keeps nothing open.
//
// Lines end at CR LF, LF or a lone CR. A header is a line whose first
// non-blank character is "[", naming what stands up to its last "]"; the name
// is taken as it is, so "[a ]" is the section "a ". A line whose first
// non-blank character is ";" is a comment. A key line is any other line with
// "=": the key before the first "=" and the value behind it, both without
// surrounding blanks; a value enclosed in a pair of single or double quotes
// reads without them. Lines of neither kind (comments, blank lines, lines
// without "=") are kept but mean nothing. Where a name occurs twice, the
// first counts.
//
// Writers serialise their read-modify-write of a file among processes,
// waiting about a second at most for another one, and write through a
// symbolic link to its target. A link that leads to no file (dangling, or a
// loop) is never replaced.
//
// A missing file (or a directory, a device, a FIFO or a hidden file) makes
// each of the four calls show one "File Not Found" message and return "", 0
// or false; nothing is written and no file is created. Only a regular file is
// ever opened, never waiting to open; one that cannot be read, or is larger
// than 64 MiB, reads as empty and is never written.

// The value of key in section, both found regardless of letter case; "" for a
// missing section or key. A value is cut to its first 254 bytes, never inside
// a character, and ends at a NUL.
QString read_profile(const QString &path, const QString &section, const QString &key);

// Stores value under key in section: replaces the value in the key's line,
// adds a missing key behind the last key line of its section, or adds a
// missing section at the end of the file; every other byte stays as it was.
// New lines take the line end the file already uses. The file is replaced as
// a whole, so it is never seen half written, and keeps its owner, group and
// mode; where that cannot be (a folder that takes no new file, an owner the
// writer cannot give, a file with several hard links) it is rewritten in
// place and flushed to disk. Nonzero on success; 0 when the file is missing,
// the write fails, or an argument could not read back as written (the file
// is then left untouched): a line break or NUL anywhere, a blank key, or a
// key holding "=" or starting with "[" or ";". Blanks or quotes around a
// value are stored but do not read back. When nothing was written to an
// existing file, failure (when given) receives why.
int write_profile(const QString &path, const QString &section, const QString &key,
    const QString &value, orvalin::names_failure *failure = nullptr);

// True when some line of the file is exactly "[" + section + "]"; false for
// a file that cannot be read. This marks a complete file; readers ask
// has_section.
bool section_exists(const QString &path, const QString &section);

// True when read_profile finds section: a header by the rules above, letter
// case ignored. False for a file that cannot be read.
bool has_section(const QString &path, const QString &section);

namespace orvalin {

struct profile_entry {
    QString section;
    QString key;
    QString value;
};

// Stores every entry the way write_profile stores one, in the given order,
// with a single replacement of the file. Unlike write_profile it needs no
// existing file: a missing file is created, and nothing is shown. The header
// line of each section written to loses blanks before "[" or behind "]", so
// that it is found as an exact header line afterwards. Nonzero on success; 0
// when an entry is refused as by write_profile, the existing file cannot be
// read, or the write fails (the file is then left untouched).
int write_profile_entries(const QString &path, const QList<profile_entry> &entries);

// As write_profile_entries, but a key that already has a line in the file
// keeps its value: only what is missing is added. On failure, failure (when
// given) receives why.
int add_profile_entries(
    const QString &path, const QList<profile_entry> &entries, names_failure *failure = nullptr);

// Why the existing file at path cannot be read whole (no permission, too
// large, not a regular file and what it is instead, a link to nowhere, the
// system's text); none when it can be, or when nothing is there.
names_failure read_failure(const QString &path);

// False for text holding a line break or NUL, which no profile line can keep.
bool fits_one_line(const QString &text);

} // namespace orvalin
