#include "support/json_document.h"

#include <array>
#include <set>
#include <vector>

namespace sorvanta::json {

namespace {

// Checks depth and duplicate keys while the parser builds the value, so that hostile
// input is refused before a deep or ambiguous tree exists.
class StrictSax : public nlohmann::detail::json_sax_dom_parser<Value> {
    using Base = nlohmann::detail::json_sax_dom_parser<Value>;

  public:
    explicit StrictSax(Value& result) : Base(result, true) {}

    bool start_object(std::size_t elements) {
        enter();
        keys_.emplace_back();
        return Base::start_object(elements);
    }
    bool end_object() {
        keys_.pop_back();
        --depth_;
        return Base::end_object();
    }
    bool start_array(std::size_t elements) {
        enter();
        keys_.emplace_back();  // keeps the key stack aligned with the nesting
        return Base::start_array(elements);
    }
    bool end_array() {
        keys_.pop_back();
        --depth_;
        return Base::end_array();
    }
    bool key(std::string& name) {
        if (!keys_.back().insert(name).second) {
            throw DecodeError("duplicate key \"" + name + "\"");
        }
        return Base::key(name);
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) {
        throw DecodeError(error.what());
    }

  private:
    void enter() {
        if (++depth_ > maximumDepth) {
            throw DecodeError("nesting deeper than " + std::to_string(maximumDepth));
        }
    }

    int depth_ = 0;
    std::vector<std::set<std::string, std::less<>>> keys_;
};

}  // namespace

Value parse(std::string_view text) {
    Value result;
    StrictSax sax(result);
    try {
        if (!Value::sax_parse(text.begin(), text.end(), &sax,
                              nlohmann::detail::input_format_t::json, true)) {
            throw DecodeError("not valid JSON");
        }
    } catch (const nlohmann::json::exception& error) {
        throw DecodeError(error.what());
    }
    return result;
}

std::string dump(const Value& value) {
    try {
        return value.dump(-1, ' ', false, Value::error_handler_t::strict);
    } catch (const nlohmann::json::exception& error) {
        throw EncodeError(error.what());
    }
}

void appendNumber(std::string& out, double value) {
    // The same shortest round-trip form the serializer writes.
    std::array<char, 64> buffer{};
    char* begin = buffer.data();
    const char* end = nlohmann::detail::to_chars(begin, begin + buffer.size(), value);
    out.append(begin, static_cast<std::size_t>(end - begin));
}

}  // namespace sorvanta::json
