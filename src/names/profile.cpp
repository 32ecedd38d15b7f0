#include "names/profile.h"

#include "names/profile_lines.h"
#include "names/profile_store.h"
#include "names/profile_text.h"
#include "system/toolkit.h"

#include <QByteArrayView>
#include <QFileInfo>
#include <QHash>

#include <algorithm>
#include <optional>
#include <vector>

using namespace orvalin;
using namespace orvalin::profile_codec;
using namespace orvalin::profile_lines;
using namespace orvalin::profile_store;

namespace {

std::optional<profile_text> read_text(const QString &path)
{
    auto data = read_file(path);
    if (!data)
        return std::nullopt;
    return decode_file(std::move(*data));
}
bool file_present(const QString &path)
{
    if (toolkit::file_exists(path))
        return true;
    toolkit::message_box(path + QStringLiteral(" not found."), toolkit::style_critical,
        QStringLiteral("File Not Found"));
    return false;
}

// New lines follow the file's own line ends.
QByteArray line_end_of(QByteArrayView data)
{
    const auto found = std::find_if(data.begin(), data.end(), is_line_end);
    if (found == data.end())
        return QByteArrayLiteral("\r\n");
    if (*found == '\n')
        return QByteArrayLiteral("\n");
    return found + 1 != data.end() && found[1] == '\n' ? QByteArrayLiteral("\r\n")
                                                       : QByteArrayLiteral("\r");
}

// One section that entries go to, with the keys they set.
struct target_section {
    struct key_slot {
        QByteArray key;
        QByteArray value;
        qsizetype value_begin = -1; // where the value of an existing line starts
        qsizetype value_end = -1;
    };

    QByteArray name;
    bool in_file = false;
    // The header line, when it is to lose the blanks around its brackets.
    qsizetype header_begin = 0;
    qsizetype header_end = 0;
    qsizetype anchor = 0; // behind the line that new keys follow
    bool anchor_terminated = true; // whether that line has a line end
    QHash<QByteArray, qsizetype> key_of; // folded key -> keys index
    std::vector<key_slot> keys;
};

struct edit {
    qsizetype pos = 0;
    qsizetype length = 0;
    int order = 0; // a value replaced inside a line before keys inserted behind it
    QByteArray bytes;
};

target_section open_section(
    codec &names, QByteArrayView data, const parsed_line &header, bool tidy_header)
{
    target_section target;
    target.in_file = true;
    target.name = header.name.toByteArray();
    if (tidy_header) {
        const qsizetype open = header.name.data() - data.data() - 1;
        const qsizetype close = open + header.name.size() + 1;
        const QByteArrayView behind = data.sliced(close + 1, header.end - close - 1);
        if ((open > header.begin || !behind.isEmpty()) && trimmed(behind).isEmpty()) {
            target.header_begin = header.begin;
            target.header_end = header.end;
        }
    }
    target.anchor = header.next;
    target.anchor_terminated = header.next > header.end;
    for (qsizetype pos = header.next; pos < data.size();) {
        const parsed_line l = parse_line(data, pos);
        if (l.kind == line_kind::header)
            break;
        if (l.kind == line_kind::key) {
            target.anchor = l.next;
            target.anchor_terminated = l.next > l.end;
            const QByteArray folded = names.fold(l.name);
            if (!target.key_of.contains(folded)) {
                target.key_of.insert(folded, qsizetype(target.keys.size()));
                target.keys.push_back({ l.name.toByteArray(),
                    data.sliced(l.value_begin, l.end - l.value_begin).toByteArray(), l.value_begin,
                    l.end });
            }
        }
        pos = l.next;
    }
    return target;
}

QByteArray merged_content(QByteArrayView data, const std::vector<target_section> &targets)
{
    const QByteArray line_end = line_end_of(data);
    std::vector<edit> edits;
    for (const target_section &target : targets) {
        if (!target.in_file)
            continue;
        if (target.header_end > target.header_begin)
            edits.push_back({ target.header_begin, target.header_end - target.header_begin, 0,
                '[' + target.name + ']' });
        QByteArray added;
        for (const auto &key : target.keys) {
            if (key.value_begin >= 0) {
                const qsizetype length = key.value_end - key.value_begin;
                if (data.sliced(key.value_begin, length) != key.value)
                    edits.push_back({ key.value_begin, length, 0, key.value });
            } else {
                added += key.key + '=' + key.value + line_end;
            }
        }
        if (!added.isEmpty())
            edits.push_back(
                { target.anchor, 0, 1, target.anchor_terminated ? added : line_end + added });
    }
    std::stable_sort(edits.begin(), edits.end(), [](const edit &a, const edit &b) {
        return a.pos != b.pos ? a.pos < b.pos : a.order < b.order;
    });

    QByteArray out;
    out.reserve(data.size() + 64 * 1024);
    qsizetype copied = 0;
    for (const edit &e : edits) {
        out.append(data.sliced(copied, e.pos - copied));
        out.append(e.bytes);
        copied = e.pos + e.length;
    }
    out.append(data.sliced(copied));

    bool separated = out.isEmpty() || is_line_end(out.back());
    for (const target_section &target : targets) {
        if (target.in_file)
            continue;
        if (!separated)
            out += line_end;
        separated = true;
        out += '[' + target.name + ']' + line_end;
        for (const auto &key : target.keys)
            out += key.key + '=' + key.value + line_end;
    }
    return out;
}

struct store_options {
    bool tidy_headers = false; // headers written to lose blanks around their brackets
    bool keep_values = false; // values already in the file stay
};

// Writes entries as write_profile_entries describes, under the file's lock.
int store_entries(const QString &path, const QList<profile_entry> &entries, store_options options,
    names_failure *failure = nullptr)
{
    names_failure why;
    const auto fail = [&](names_failure failed) {
        if (failure)
            *failure = std::move(failed);
        return 0;
    };
    const auto target = write_target(path, why);
    if (!target)
        return fail(why);
    const file_lock lock(*target);
    if (!lock.locked())
        return fail({ names_problem::in_use, {} });

    profile_text text;
    const bool existed = QFileInfo::exists(*target);
    if (existed) {
        // Whatever cannot be read whole must not be replaced by a part of it.
        auto existing = read_file(*target, &why);
        if (!existing)
            return fail(why);
        text = decode_file(std::move(*existing));
        if (text.unwritable != names_problem::none)
            return fail({ text.unwritable, {} });
    }
    const QByteArray &data = text.bytes;
    codec names(text.encoding);

    QHash<QByteArray, qsizetype> file_section_of; // folded name -> header line
    std::vector<parsed_line> headers;
    for (auto header = next_header(data, 0); header; header = next_header(data, header->next)) {
        const QByteArray folded = names.fold(header->name);
        if (!file_section_of.contains(folded)) {
            file_section_of.insert(folded, qsizetype(headers.size()));
            headers.push_back(*header);
        }
    }

    std::vector<target_section> targets;
    QHash<QByteArray, qsizetype> target_of; // folded name -> targets index
    QString last_section;
    qsizetype current = -1;
    for (const profile_entry &entry : entries) {
        const QString key = trimmed(entry.key);
        // Each of these would break a line apart, or read back as another
        // key, a comment or a header.
        if (!orvalin::fits_one_line(entry.section) || !orvalin::fits_one_line(key)
            || !orvalin::fits_one_line(entry.value) || key.isEmpty() || key.contains(u'=')
            || key.startsWith(u'[') || key.startsWith(u';'))
            return fail({ names_problem::invalid_entry, {} });
        const auto key_bytes = names.encode(key);
        const auto value_bytes = names.encode(entry.value);
        if (!key_bytes || !value_bytes)
            return fail({ names_problem::invalid_entry, {} });

        if (current < 0 || entry.section != last_section) {
            const auto section_bytes = names.encode(entry.section);
            if (!section_bytes)
                return fail({ names_problem::invalid_entry, {} });
            const QByteArray folded = names.fold(*section_bytes);
            current = target_of.value(folded, -1);
            if (current < 0) {
                const qsizetype header = file_section_of.value(folded, -1);
                if (header >= 0) {
                    targets.push_back(
                        open_section(names, data, headers[header], options.tidy_headers));
                } else {
                    targets.emplace_back();
                    targets.back().name = *section_bytes;
                }
                current = qsizetype(targets.size()) - 1;
                target_of.insert(folded, current);
            }
            last_section = entry.section;
        }

        target_section &section = targets[current];
        const QByteArray folded_key = names.fold(*key_bytes);
        if (const qsizetype index = section.key_of.value(folded_key, -1); index >= 0) {
            auto &slot = section.keys[index];
            if (!options.keep_values || slot.value_begin < 0)
                slot.value = *value_bytes;
        } else {
            section.key_of.insert(folded_key, qsizetype(section.keys.size()));
            section.keys.push_back({ *key_bytes, *value_bytes });
        }
    }

    const QByteArray content = merged_content(data, targets);
    if (existed && content == data)
        return 1;
    const QByteArray file = encode_file(text.encoding, content);
    if (const names_problem fault = rewrite_fault(file, text.encoding, content);
        fault != names_problem::none)
        return fail({ fault, {} });
    if (!replace_file(*target, file, why))
        return fail(why);
    return 1;
}

// The first header of section, found regardless of letter case: the one
// rule by which every reader finds a section.
std::optional<parsed_line> find_section(
    codec &names, QByteArrayView data, const QByteArray &section)
{
    const QByteArray folded = names.fold(section);
    auto header = next_header(data, 0);
    while (header && header->name != section && names.fold(header->name) != folded)
        header = next_header(data, header->next);
    return header;
}

} // namespace

QString read_profile(const QString &path, const QString &section, const QString &key)
{
    if (!file_present(path))
        return {};
    const auto text = read_text(path);
    if (!text)
        return {};
    const QByteArray *data = &text->bytes;
    codec names(text->encoding);
    const auto section_bytes = names.encode(section);
    const auto key_bytes = names.encode(trimmed(key));
    if (!section_bytes || !key_bytes || key_bytes->isEmpty())
        return {};
    const QByteArray key_folded = names.fold(*key_bytes);
    const auto header = find_section(names, *data, *section_bytes);
    if (!header)
        return {};
    for (qsizetype pos = header->next; pos < data->size();) {
        const parsed_line l = parse_line(*data, pos);
        if (l.kind == line_kind::header)
            break;
        if (l.kind == line_kind::key
            && (l.name == *key_bytes || names.fold(l.name) == key_folded)) {
            QByteArrayView value
                = QByteArrayView(*data).sliced(l.value_begin, l.end - l.value_begin);
            // The text ends at a NUL, as it did in the fixed buffer.
            if (const qsizetype nul = value.indexOf('\0'); nul >= 0)
                value.truncate(nul);
            value = trimmed(value);
            // Quotes around a value keep its edge blanks; they are not part
            // of it.
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'')
                && value.back() == value.front())
                value = value.sliced(1, value.size() - 2);
            return names.cut_value(value);
        }
        pos = l.next;
    }
    return {};
}

int write_profile(const QString &path, const QString &section, const QString &key,
    const QString &value, names_failure *failure)
{
    if (!file_present(path))
        return 0;
    return store_entries(path, { { section, key, value } }, {}, failure);
}

bool section_exists(const QString &path, const QString &section)
{
    if (!file_present(path))
        return false;
    if (!orvalin::fits_one_line(section))
        return false;
    const auto file = read_text(path);
    if (!file)
        return false;
    codec names(file->encoding);
    const auto header = names.encode(QString(u'[' + section + u']'));
    if (!header)
        return false;
    const QByteArrayView text(file->bytes);
    for (qsizetype at = text.indexOf(*header); at >= 0; at = text.indexOf(*header, at + 1)) {
        const qsizetype after = at + header->size();
        if ((at == 0 || is_line_end(text[at - 1]))
            && (after == text.size() || is_line_end(text[after])))
            return true;
    }
    return false;
}

bool has_section(const QString &path, const QString &section)
{
    if (!file_present(path))
        return false;
    const auto text = read_text(path);
    if (!text)
        return false;
    codec names(text->encoding);
    const auto section_bytes = names.encode(section);
    return section_bytes && find_section(names, text->bytes, *section_bytes).has_value();
}

namespace orvalin {

int write_profile_entries(const QString &path, const QList<profile_entry> &entries)
{
    return store_entries(path, entries, { .tidy_headers = true });
}

int add_profile_entries(
    const QString &path, const QList<profile_entry> &entries, names_failure *failure)
{
    return store_entries(path, entries, { .tidy_headers = true, .keep_values = true }, failure);
}

names_failure read_failure(const QString &path)
{
    names_failure failure;
    const auto target = write_target(path, failure);
    if (!target)
        return failure;
    if (!QFileInfo::exists(*target) || read_file(*target, &failure))
        return {};
    return failure;
}

bool fits_one_line(const QString &text)
{
    return !text.contains(u'\r') && !text.contains(u'\n') && !text.contains(QChar(0));
}

} // namespace orvalin
