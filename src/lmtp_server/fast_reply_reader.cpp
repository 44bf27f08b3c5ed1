// The scanner's reply read with the reader behind read_json, run over the text in place.
#include "lmtp_server/fast_reply_reader.hpp"

#ifdef QUILLGATE_FAST_REPLY_READER

#include <string>
#include <vector>

#include <boost/property_tree/json_parser.hpp>

#include "lmtp_server/reply_reader.hpp"

namespace {

// Thrown by the builder when the reply nests deeper than the bound allows.
struct too_deep {};

// Builds the tree from the JSON parser's events, keeping only what the verdict reads: the
// top-level "action", "milter" and "subject" whole, and the names of the "symbols" with empty
// values. Every other value is still parsed, and so checked, but not stored: a usual reply with
// its symbols, options and thresholds would otherwise cost some hundred allocations. What is
// kept is what the full tree holds: numbers as their text, "null", "true" and "false" as text,
// array elements under empty names, duplicate names in order.
class verdict_reply_builder {
  public:
    using string = std::string;
    using char_type = char;

    void on_null() { scalar("null"); }
    void on_boolean(bool value) { scalar(value ? "true" : "false"); }
    template <class Range> void on_number(Range units) {
        begin_scalar();
        append(units.begin(), units.end());
        end_value();
    }
    void on_begin_number() { begin_scalar(); }
    void on_digit(char c) { append(&c, &c + 1); }
    void on_end_number() { end_value(); }
    void on_begin_string() {
        if (!frames_.empty() && frames_.back().expect_name) {
            in_name_ = true;
            name_.clear();
            return;
        }
        begin_scalar();
    }
    template <class Range> void on_code_units(Range units) { append(units.begin(), units.end()); }
    void on_code_unit(char c) { append(&c, &c + 1); }
    void on_end_string() {
        if (!in_name_) return end_value();
        in_name_ = false;
        frames_.back().expect_name = false;
    }
    void on_begin_array() {
        check_depth();
        frames_.push_back({begin_value(), false, false, child_keep()});
    }
    void on_end_array() { end_container(); }
    void on_begin_object() {
        check_depth();
        frames_.push_back({begin_value(), true, true, child_keep()});
    }
    void on_end_object() { end_container(); }

    boost::property_tree::ptree& output() { return root_; }

  private:
    // What a container keeps of its members.
    enum class keep {
        top,   // the reply itself: the four members the verdict reads
        whole, // everything, at every depth
        names, // each member's name, with an empty value
        none,  // nothing
    };

    struct frame {
        boost::property_tree::ptree* node; // where members go; null when none are kept
        bool object;
        bool expect_name; // in an object: the next string is a member name
        keep members;
    };

    // Stops the parser, whose recursion follows the nesting, at the depth bound.
    void check_depth() const {
        if (frames_.size() >= static_cast<std::size_t>(reply_depth_limit)) throw too_deep();
    }

    // How the value about to begin keeps its own members, by its place in the tree.
    keep child_keep() const {
        if (frames_.empty()) return keep::top;
        const frame& parent = frames_.back();
        switch (parent.members) {
        case keep::top:
            if (!parent.object) return keep::none;
            if (name_ == "action" || name_ == "milter" || name_ == "subject") return keep::whole;
            return name_ == "symbols" ? keep::names : keep::none;
        case keep::whole:
            return keep::whole;
        default:
            return keep::none;
        }
    }

    // The node of the value about to begin, added to its parent when it is kept; null when not.
    boost::property_tree::ptree* begin_value() {
        if (frames_.empty()) return &root_;
        const frame& parent = frames_.back();
        if (parent.node == nullptr || parent.members == keep::none) return nullptr;
        if (parent.members == keep::top && child_keep() == keep::none) return nullptr;
        auto& child = parent.node->push_back({parent.object ? name_ : std::string(), {}})->second;
        return parent.members == keep::names ? nullptr : &child;
    }

    void begin_scalar() {
        boost::property_tree::ptree* node = begin_value();
        value_ = node != nullptr ? &node->data() : nullptr;
    }

    template <class Iterator> void append(Iterator first, Iterator last) {
        if (in_name_) return static_cast<void>(name_.append(first, last));
        if (value_ != nullptr) value_->append(first, last);
    }

    void scalar(const char* text) {
        begin_scalar();
        append(text, text + std::char_traits<char>::length(text));
        end_value();
    }

    // A member's value is complete: in an object the next string is a name again.
    void end_value() {
        value_ = nullptr;
        if (!frames_.empty()) frames_.back().expect_name = frames_.back().object;
    }

    void end_container() {
        frames_.pop_back();
        end_value();
    }

    boost::property_tree::ptree root_;
    std::vector<frame> frames_;
    std::string name_; // the name of the member whose value comes next
    bool in_name_ = false;
    std::string* value_ = nullptr; // the text of the scalar being read, when it is kept
};

} // namespace

boost::property_tree::ptree read_reply_fast(const std::string& text) {
    // Through a string stream the same parser fetches every character by a stream-buffer call,
    // which costs several times the parse itself; here it reads the text in place. Same
    // grammar, same errors (no file name); only the tree is smaller. A reply nested too deep
    // stops the parse where the bound is passed; check_reply_depth then gives the error that
    // read_reply_with_read_json gives, which also holds when a syntax error comes first.
    namespace json = boost::property_tree::json_parser::detail;
    verdict_reply_builder builder;
    json::encoding<char> encoding;
    try {
        json::read_json_internal(text.data(), text.data() + text.size(), encoding, builder,
                                 std::string());
    } catch (const too_deep&) {
        check_reply_depth(text);
        // Not reached, as the check meets the same bracket; the builder's own exception must
        // not leave this function all the same.
        throw boost::property_tree::json_parser_error("reply nested too deep", std::string(), 0);
    } catch (const boost::property_tree::json_parser_error&) {
        check_reply_depth(text);
        throw;
    }
    boost::property_tree::ptree reply;
    reply.swap(builder.output());
    return reply;
}

#endif
