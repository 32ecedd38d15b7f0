#pragma once

#include <QString>

// Profile files: text files of "[section]" header lines and "key=value" lines,
// stored as GB18030 (byte-identical to GBK for every character GBK has) with
// CR LF line ends. Each call finds the file anew and keeps nothing open.
//
// A missing file (or a directory, or a hidden file) makes each of the three
// calls show one "File Not Found" message and return "", 0 or false; nothing
// is written and no file is created.

// The value of key in section, both found regardless of letter case; "" for a
// missing section or key. A value is cut to its first 254 bytes, never inside
// a character.
QString read_profile(const QString &path, const QString &section, const QString &key);

// Stores value under key in section: replaces the value in the key's line,
// adds a missing key behind the last key line of its section, or adds a
// missing section at the end of the file; every other byte stays as it was.
// The file is replaced as a whole, so it is never seen half written. Nonzero
// on success; 0 when the file is missing, the write fails, or any argument
// holds a line break or NUL (the file is then left untouched).
int write_profile(const QString &path, const QString &section, const QString &key,
                  const QString &value);

// True when some line of the file is exactly "[" + section + "]".
bool section_exists(const QString &path, const QString &section);
