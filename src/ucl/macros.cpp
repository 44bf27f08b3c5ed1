// The macros on top of the grammar: their names, options and arguments, the files that includes
// and loads read, and the members that includes, loads and .inherit add.
#include "ucl/macros.hpp"

#include "ucl/atoms.hpp"

#include <algorithm>
#include <array>
#include <filesystem>
#include <string_view>
#include <utility>

namespace ucl {

namespace {

constexpr int max_include_depth = 16; // includes within includes

// The macros the reader knows, each written with its leading dot.
constexpr std::array<std::string_view, 6> macro_names{".include",  ".try_include", ".includes",
                                                      ".priority", ".load",        ".inherit"};

// The name of a value's type in a message.
std::string type_name(const Ucl& value) {
    switch (value.type()) {
    case Type::null:
        return "null";
    case Type::boolean:
        return "a boolean";
    case Type::integer:
        return "an integer";
    case Type::floating:
        return "a float";
    case Type::time:
        return "a time";
    case Type::string:
        return "a string";
    case Type::array:
        return "an array";
    case Type::object:
        return "an object";
    }
    return "a value";
}

// One macro, read from its '.' on; its errors are placed at the '.'.
class macro_reader {
  public:
    macro_reader(parser& reader, member_list& members)
        : reader_(reader), members_(members), start_(reader.position()) {}

    void read();

  private:
    Ucl read_options(const std::string& name);
    std::string read_argument(const std::string& name, const std::string& what);
    void set_priority(const std::string& text);
    void include(const std::string& name, const include_options& options, const std::string& path);
    void include_file(const std::string& name, const include_options& options,
                      const std::string& path);
    void include_nested(parser& included, const std::string& name, const include_options& options,
                        const std::string& path);
    bool read_file(const std::string& name, const std::string& what, const std::string& path,
                   bool try_missing, std::string& content) const;
    void check_signature(const std::string& name, const std::string& real_path) const;
    void load(const load_options& options, const std::string& path);
    void inherit(const std::string& section);

    const file_access& files() const { return *reader_.settings().files; }
    [[noreturn]] void fail(const std::string& message) const { reader_.fail_at(start_, message); }

    parser& reader_;
    member_list& members_;
    std::size_t start_; // the macro's '.'
};

// A macro: its name, an optional `(name=value, ...)` list of options and its argument.
void macro_reader::read() {
    parser& r = reader_;
    r.seek(start_ + 1);
    while (!r.at_end() && (is_key_start(r.peek()) || r.peek() == '-'))
        r.seek(r.position() + 1);
    const std::string name(r.text().substr(start_, r.position() - start_));
    const bool known = std::find(macro_names.begin(), macro_names.end(), name) != macro_names.end();
    // As in the library, a macro other than .load with no argument before the end of the text
    // does nothing; an unknown one only where the text ends right after its name.
    const std::size_t after_name = r.position();
    r.skip_space();
    if (r.at_end() && name != ".load" && (known || after_name == r.text().size())) return;
    r.seek(after_name);
    if (!known) {
        fail("unknown macro '" + name +
             "': expected .include, .try_include, .includes, .priority, .load or .inherit");
    }
    r.skip_inline();
    const Ucl options = r.peek() == '(' ? read_options(name) : Ucl::object({});
    r.skip_space();
    if (name != ".load" && r.at_end()) return;
    if (name == ".priority") {
        set_priority(read_argument(name, "a priority"));
    } else if (name == ".load") {
        load(read_load_options(options), read_argument(name, "a path"));
    } else if (name == ".inherit") {
        inherit(read_argument(name, "a section name"));
    } else {
        const include_options include_with =
            read_include_options(options, name == ".try_include", name == ".includes");
        include(name, include_with, read_argument(name, "a path"));
    }
}

// The options in parentheses, read as the members of an object; parentheses inside quotes or
// nested ones do not end them.
Ucl macro_reader::read_options(const std::string& name) {
    const std::string_view text = reader_.text();
    const std::size_t open = reader_.position();
    std::size_t p = open;
    int nesting = 0;
    for (;; ++p) {
        if (p >= text.size()) {
            reader_.seek(p);
            reader_.fail_expected("')' to close the options of " + name + " opened at " +
                                  reader_.where(open));
        }
        const char c = text[p];
        if (c == '"' || c == '\'') {
            for (++p; p < text.size() && text[p] != c; ++p) {
                if (text[p] == '\\') ++p;
            }
            if (p >= text.size()) --p; // the check at the top of the loop fails next
            continue;
        }
        if (c == '(') ++nesting;
        if (c == ')' && --nesting == 0) break;
    }
    reader_.seek(p + 1);
    text_settings settings;
    settings.files = reader_.settings().files;
    settings.curdir = reader_.settings().curdir;
    settings.filename = reader_.settings().filename;
    settings.include_depth = reader_.settings().include_depth;
    parser options_parser(text.substr(open + 1, p - open - 1), std::move(settings),
                          reader_.depth());
    std::string error;
    Ucl options = options_parser.parse_document(error);
    if (!error.empty()) reader_.fail_at(open, "invalid options for " + name + ": " + error);
    return options;
}

// The argument after a macro: a quoted string, a text in braces or a word without quotes, with
// the file variables replaced; `what` names it in the error when none is there.
std::string macro_reader::read_argument(const std::string& name, const std::string& what) {
    parser& r = reader_;
    r.skip_space();
    const char c = r.peek();
    if (r.at_end() || ends_value(c) || c == '}' || c == ']' || c == '[' || c == '\'') {
        r.fail_expected(what + " after " + name);
    }
    std::string argument;
    if (c == '"') {
        argument = r.read_double_quoted();
    } else if (c == '{') {
        const std::size_t close = r.text().find('}', r.position());
        if (close == std::string_view::npos) {
            r.seek(r.text().size());
            r.fail_expected("'}' to close the argument of " + name);
        }
        std::string_view inner = r.text().substr(r.position() + 1, close - r.position() - 1);
        while (!inner.empty() && is_space(inner.front()))
            inner.remove_prefix(1);
        while (!inner.empty() && is_space(inner.back()))
            inner.remove_suffix(1);
        argument = r.expand_variables(inner);
        r.seek(close + 1);
    } else {
        argument = r.expand_variables(r.read_word());
    }
    r.skip_inline();
    return argument;
}

// `.priority N`: the priority of the members the text writes from here on.
void macro_reader::set_priority(const std::string& text) {
    const auto priority = priority_of_text(text);
    if (!priority) fail(".priority: invalid priority '" + text + "': expected a decimal integer");
    reader_.settings().priority = *priority;
}

// An include of one file, or with the option glob of every file that a pattern matches.
void macro_reader::include(const std::string& name, const include_options& options,
                           const std::string& path) {
    const auto matches = options.glob ? files().glob(path) : std::nullopt;
    if (!matches) return include_file(name, options, path);
    if (matches->empty() && !options.try_missing) {
        fail(name + ": no file matches the pattern '" + path + "'");
    }
    for (const auto& match : *matches)
        include_file(name, options, match);
}

// Reads the file at `path` into the members, or into the object or array at the option key; a
// missing file is skipped when the options allow it.
void macro_reader::include_file(const std::string& name, const include_options& options,
                                const std::string& path) {
    const text_settings& outer = reader_.settings();
    if (outer.include_depth >= max_include_depth) {
        fail("includes nested more than " + std::to_string(max_include_depth) +
             " deep: expected a file that does not include itself");
    }
    std::string content;
    if (!read_file(name, "included file", path, options.try_missing, content)) return;
    const std::string real = files().real_path(path);
    if (options.sign) check_signature(name, real);
    text_settings settings;
    settings.files = outer.files;
    settings.file_name = real;
    settings.curdir = std::filesystem::path(real).parent_path().string();
    settings.filename = real;
    settings.include_depth = outer.include_depth + 1;
    settings.priority = options.priority;
    settings.strategy = options.duplicate;
    settings.root = outer.root;
    parser included(content, std::move(settings), reader_.depth());
    if (!options.nest) return included.parse_included(members_);
    include_nested(included, name, options, path);
}

// The included file's members as an object at the option key: merged into the object already
// there, or with target "array" appended to the array there (one is made of any other value).
void macro_reader::include_nested(parser& included, const std::string& name,
                                  const include_options& options, const std::string& path) {
    const std::string key = options.key.empty() ? file_key(path) : options.key;
    member_entry* old = members_.find(key);
    if (!options.as_array && old != nullptr && old->value.type() != Type::object) {
        fail(name + ": cannot include into the key '" + key +
             "': expected an object there, found " + type_name(old->value));
    }
    member_list object_members;
    if (!options.as_array && old != nullptr) {
        object_members = member_list(old->value, old->marks.nested);
    }
    included.parse_included(object_members);
    marked_value object = object_members.take_object();
    object.marks.priority = options.priority;
    old = members_.find(key);
    if (old == nullptr) {
        if (options.as_array) object = {Ucl::array({object.value}), {options.priority, false, {}}};
        members_.append(key, std::move(object));
        return;
    }
    if (options.as_array) {
        const Ucl& previous = old->value;
        std::vector<Ucl> items =
            previous.type() == Type::array ? previous.items() : std::vector<Ucl>{previous};
        items.push_back(std::move(object.value));
        old->value = Ucl::array(std::move(items));
        old->marks.nested.clear();
        return;
    }
    old->value = std::move(object.value);
    old->marks.nested = std::move(object.marks.nested);
}

// Reads the file a macro names into `content`; false for a missing file that `try_missing`
// skips. The errors name the macro and the file as `what` ("included file", "the file").
bool macro_reader::read_file(const std::string& name, const std::string& what,
                             const std::string& path, bool try_missing,
                             std::string& content) const {
    const auto status = files().status(path);
    if (status == file_access::kind::missing) {
        if (try_missing) return false;
        fail(name + ": cannot open " + what + " '" + path + "': no such file");
    }
    if (status != file_access::kind::regular || !files().read(path, content)) {
        fail(name + ": cannot read " + what + " '" + path + "': expected a readable regular file");
    }
    return true;
}

// Signatures are checked against the public keys registered with the reader, and the daemon
// registers none: an included file is refused once its signature file is looked for.
void macro_reader::check_signature(const std::string& name, const std::string& real_path) const {
    const std::string signature = real_path + ".sig";
    if (files().status(signature) == file_access::kind::missing) {
        fail(name + ": cannot open the signature file '" + signature + "': no such file");
    }
    fail(name + ": cannot verify the signature file '" + signature +
         "': expected a public key, and none is registered");
}

// `.load(key=...)`: the file's bytes as a string, or with target "int" as an integer, at a key
// that the object does not hold yet.
void macro_reader::load(const load_options& options, const std::string& path) {
    if (!options.key) fail(".load: no key given: expected the option key=\"name\"");
    std::string content;
    if (!read_file(".load", "the file", path, options.try_missing, content)) return;
    if (members_.find(*options.key) != nullptr) {
        fail(".load: the key '" + *options.key + "' is already written: expected a new key");
    }
    Ucl value;
    switch (options.target) {
    case load_target::string:
        if (content.empty()) return;
        value = Ucl::string(options.escape ? json_escaped(content) : content);
        break;
    case load_target::integer:
        value = Ucl::integer(integer_prefix(content));
        break;
    case load_target::nothing:
        return;
    }
    members_.append(*options.key, {std::move(value), {options.priority, false, {}}});
}

// `.inherit "section"`: copies the members of a top-level object written before into this
// object, except the keys this object already holds; the first key written here replaces a copy.
void macro_reader::inherit(const std::string& section) {
    member_list* root = reader_.settings().root;
    const member_entry* base = root != nullptr ? root->find(section) : nullptr;
    if (base == nullptr || base->value.type() != Type::object) {
        fail(".inherit: no section '" + section +
             "' to inherit: expected an object at the top level, written before");
    }
    // A copy, as appending to this object may move the section when it is this object.
    const member_entry copied = *base;
    const std::size_t written = members_.size();
    const auto& copies = copied.value.members();
    for (std::size_t i = 0; i < copies.size(); ++i) {
        if (members_.held_among_first(copies[i].first, written)) continue;
        member_marks marks =
            i < copied.marks.nested.size() ? copied.marks.nested[i] : member_marks{};
        marks.inherited = true;
        members_.append(copies[i].first, {copies[i].second, std::move(marks)});
    }
}

} // namespace

void read_macro(parser& reader, member_list& members) {
    macro_reader(reader, members).read();
}

} // namespace ucl
