// The members of an object while it is read, and the rules for a key written twice: priorities,
// the duplicate strategies and the members that .inherit copied.
#include "ucl/members.hpp"

#include <algorithm>
#include <utility>

namespace ucl {

member_list::member_list(const Ucl& object, const std::vector<member_marks>& marks) {
    const auto& members = object.members();
    for (std::size_t i = 0; i < members.size(); ++i) {
        append(members[i].first, {members[i].second, i < marks.size() ? marks[i] : member_marks{}});
    }
}

member_entry* member_list::find(const std::string& key) {
    const auto found = first_.find(key);
    return found == first_.end() ? nullptr : &members_[found->second];
}

bool member_list::held_among_first(const std::string& key, std::size_t count) const {
    const auto found = first_.find(key);
    return found != first_.end() && found->second < count;
}

void member_list::append(std::string key, marked_value value) {
    first_.try_emplace(key, members_.size());
    members_.push_back({std::move(key), std::move(value.value), std::move(value.marks)});
}

void member_list::replace(member_entry* first, marked_value value) {
    first->value = std::move(value.value);
    first->marks = std::move(value.marks);
    const std::string key = first->key;
    const auto place = static_cast<std::size_t>(first - members_.data());
    const auto later =
        std::remove_if(members_.begin() + static_cast<long>(place) + 1, members_.end(),
                       [&](const member_entry& member) { return member.key == key; });
    if (later == members_.end()) return;
    members_.erase(later, members_.end());
    first_.clear();
    for (std::size_t i = 0; i < members_.size(); ++i)
        first_.try_emplace(members_[i].key, i);
}

marked_value member_list::take_object() {
    first_.clear();
    std::vector<Ucl::Member> members;
    marked_value object;
    members.reserve(members_.size());
    object.marks.nested.reserve(members_.size());
    for (auto& member : members_) {
        members.emplace_back(std::move(member.key), std::move(member.value));
        object.marks.nested.push_back(std::move(member.marks));
    }
    members_.clear();
    object.value = Ucl::object(std::move(members));
    return object;
}

namespace {

bool merge_member(member_entry* old, const marked_value& value, duplicate_strategy strategy);

} // namespace

// A key the object lacks is added. For one it holds: the strategy "error" refuses the value,
// "rewrite" replaces the old values, "merge" merges containers; otherwise a higher priority
// replaces, a lower one is ignored and an equal one is appended behind the first value (and a
// value copied by .inherit gives way to the first one written in the object itself).
void add_member(member_list& members, std::string key, marked_value value,
                duplicate_strategy strategy) {
    member_entry* old = members.find(key);
    if (old == nullptr) {
        members.append(std::move(key), std::move(value));
        return;
    }
    switch (strategy) {
    case duplicate_strategy::error:
        throw member_conflict("duplicate key '" + key +
                              "': expected a key written once, as duplicate=\"error\" asks");
    case duplicate_strategy::rewrite:
        return members.replace(old, std::move(value));
    case duplicate_strategy::merge:
        if (merge_member(old, value, strategy)) return;
        break;
    case duplicate_strategy::append:
        break;
    }
    const int old_priority = old->marks.priority;
    int new_priority = value.marks.priority;
    if (strategy == duplicate_strategy::append && old->marks.inherited)
        new_priority = old_priority + 1;
    if (new_priority < old_priority) return;
    if (new_priority > old_priority) return members.replace(old, std::move(value));
    members.append(std::move(key), std::move(value));
}

namespace {

// The marks of the `index`th member of an object read with `marks`.
member_marks nested_marks(const member_marks& marks, std::size_t index) {
    return index < marks.nested.size() ? marks.nested[index] : member_marks{};
}

// The merge strategy where the old value is a container: objects are merged key by key, arrays
// joined, and any other new value takes the container's place; false for an old plain value.
// The merged container keeps the old one's marks.
bool merge_member(member_entry* old, const marked_value& value, duplicate_strategy strategy) {
    const Type old_type = old->value.type();
    const Type new_type = value.value.type();
    if (old_type != Type::object && old_type != Type::array) return false;
    if ((old_type == Type::object && new_type == Type::array) ||
        (old_type == Type::array && new_type == Type::object)) {
        throw member_conflict("cannot merge an object with an array: expected two objects or two "
                              "arrays for the key '" +
                              old->key + "'");
    }
    if (new_type == Type::array) {
        std::vector<Ucl> items = old->value.items();
        items.insert(items.end(), value.value.items().begin(), value.value.items().end());
        old->value = Ucl::array(std::move(items));
    } else if (new_type == Type::object) {
        member_list merged(old->value, old->marks.nested);
        const auto& members = value.value.members();
        for (std::size_t i = 0; i < members.size(); ++i) {
            add_member(merged, members[i].first, {members[i].second, nested_marks(value.marks, i)},
                       strategy);
        }
        marked_value object = merged.take_object();
        old->value = std::move(object.value);
        old->marks.nested = std::move(object.marks.nested);
    } else {
        old->value = value.value;
        old->marks = value.marks;
    }
    return true;
}

} // namespace

} // namespace ucl
