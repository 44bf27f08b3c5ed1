// The UCL value tree and its wrapper: building values, lookups and conversions.
#include "ucl/ucl.hpp"

#include "ucl/parser.hpp"

#include <cmath>

namespace ucl {

// The storage behind a wrapper; only the members of its `type` are meaningful.
struct Ucl::Node {
    Type type = Type::null;
    bool flag = false;
    std::int64_t integer = 0;
    double number = 0; // a float, or a time value in seconds
    std::string text;
    std::vector<Ucl> items;
    std::vector<Member> members;
};

namespace {

// The shared empty list of elements handed out for values that are not arrays.
const std::vector<Ucl>& no_items() {
    static const std::vector<Ucl> empty;
    return empty;
}

// The shared empty list of members handed out for values that are not objects.
const std::vector<Ucl::Member>& no_members() {
    static const std::vector<Ucl::Member> empty;
    return empty;
}

} // namespace

Ucl Ucl::parse(std::string_view text, std::string& error) {
    error.clear();
    return parser(text).parse_document(error);
}

Ucl Ucl::null() {
    return Ucl(std::make_shared<const Node>());
}

Ucl Ucl::boolean(bool value) {
    Node node;
    node.type = Type::boolean;
    node.flag = value;
    return Ucl(std::make_shared<const Node>(std::move(node)));
}

Ucl Ucl::integer(std::int64_t value) {
    Node node;
    node.type = Type::integer;
    node.integer = value;
    return Ucl(std::make_shared<const Node>(std::move(node)));
}

Ucl Ucl::floating(double value) {
    Node node;
    node.type = Type::floating;
    node.number = value;
    return Ucl(std::make_shared<const Node>(std::move(node)));
}

Ucl Ucl::time(double seconds) {
    Node node;
    node.type = Type::time;
    node.number = seconds;
    return Ucl(std::make_shared<const Node>(std::move(node)));
}

Ucl Ucl::string(std::string value) {
    Node node;
    node.type = Type::string;
    node.text = std::move(value);
    return Ucl(std::make_shared<const Node>(std::move(node)));
}

Ucl Ucl::array(std::vector<Ucl> items) {
    Node node;
    node.type = Type::array;
    node.items = std::move(items);
    return Ucl(std::make_shared<const Node>(std::move(node)));
}

Ucl Ucl::object(std::vector<Member> members) {
    Node node;
    node.type = Type::object;
    node.members = std::move(members);
    return Ucl(std::make_shared<const Node>(std::move(node)));
}

Type Ucl::type() const {
    return node_ ? node_->type : Type::null;
}

Ucl Ucl::lookup(std::string_view key) const {
    if (type() != Type::object) return null();
    for (const auto& [name, value] : node_->members) {
        if (name == key) return value;
    }
    return Ucl();
}

std::string Ucl::string_value(const std::string& default_value) const {
    if (type() != Type::string) return default_value;
    return std::string(node_->text.c_str());
}

std::optional<std::int64_t> Ucl::toint_safe() const {
    switch (type()) {
    case Type::integer:
        return node_->integer;
    case Type::floating:
    case Type::time: {
        // 2^63 is exact as a double; a NaN fails both comparisons.
        const double truncated = std::trunc(node_->number);
        if (!(truncated >= -9223372036854775808.0 && truncated < 9223372036854775808.0)) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(truncated);
    }
    default:
        return std::nullopt;
    }
}

double Ucl::number_value(double default_value) const {
    switch (type()) {
    case Type::integer:
        return static_cast<double>(node_->integer);
    case Type::floating:
    case Type::time:
        return node_->number;
    default:
        return default_value;
    }
}

bool Ucl::bool_value(bool default_value) const {
    return type() == Type::boolean ? node_->flag : default_value;
}

const std::vector<Ucl>& Ucl::items() const {
    return type() == Type::array ? node_->items : no_items();
}

const std::vector<Ucl::Member>& Ucl::members() const {
    return type() == Type::object ? node_->members : no_members();
}

} // namespace ucl
