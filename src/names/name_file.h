#pragma once

// src/names: the name file and what lies under it. This header is what the
// front ends use (where the file lives, its sections and keys, the start-up
// check, the captions); profile.h reads and writes profile files by their
// rules, profile_text.h is their text codec, profile_store.h the file on disk
// (with one platform file the build chooses), and names_problem.h says why a
// file could not be read or written, as a value each front end words. The
// folder may include Qt Core, src/system and link/channel.h (plain values)
// only: never the rest of src/link, src/control, src/ui, a front end, or
// widgets.

#include "link/channel.h"

#include <QString>
#include <QStringList>
#include <QStringView>

namespace orvalin {

// Where the name file logic shows what it reads: the window title and the
// 16 channel captions, by element (element_of in link/channel.h).
class name_view {
public:
    virtual ~name_view() = default;
    virtual void set_title(const QString &title) = 0;
    virtual void set_caption(int element, const QString &caption) = 0;
};

// Where the name file lives, formed anew on every call (native separators):
// the program directory followed by "/name.txt" when that file exists or the
// directory is writable; otherwise name.txt in the folder "orvalin" of the
// user's data directory (toolkit::data_directory(): $XDG_DATA_HOME when it is
// an absolute path, by default ~/.local/share), which is created.
QString name_file_path();

// "地址码" followed by the address text, unchanged.
QString channel_section(const QString &address_text);
// "第" + number_text + "路输出名称" (output) or "路输入名称" (input), the
// number text as it stands.
QString channel_key(const QString &number_text, channel_kind kind);
// The key of c, its number in decimal: "第3路输入名称" for in3.
QString channel_key(channel c);

// What read_channel_names found.
enum class names_found {
    no_file, // no path, or no regular file there
    no_section, // the file lacks the address's section, or cannot be read
    section,
};

// The 16 names of one address, "" where the file has none.
struct channel_names {
    names_found found = names_found::no_file;
    QStringList outputs; // channels_per_kind entries, output k at k - 1
    QStringList inputs; // channels_per_kind entries, input k at k - 1

    const QString &name(channel c) const
    {
        return (c.is_output() ? outputs : inputs).at(c.number - 1);
    }
};

// The names of the section of address_text (used as it stands) in the file
// at path, read anew on every call. Shows nothing and reads nothing when
// there is no regular file at path; all names are blank unless found says
// section.
channel_names read_channel_names(const QString &path, const QString &address_text);

// At start-up: when the line "[地址码0]" is missing, adds whatever default
// name the file lacks, never replacing one it has ("File Not Found" first on
// a missing file, then "名称文件被创建。"), and sets the default title;
// otherwise sets the title from the file. A file that cannot be read is not
// touched, and one that cannot be written is not claimed as created: a
// message says what failed and why.
void ensure_name_file(name_view &view);

// Sets all 16 captions from the section of address_text; nothing cached.
// Each name is read on its own, output k before input k, so a missing file
// shows "File Not Found" once per name (16 times).
void load_names(name_view &view, const QString &address_text);

} // namespace orvalin
