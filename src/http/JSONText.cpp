#include "http/JSONText.hpp"

#include <charconv>

namespace kiv::http {

namespace {

class Writer {
public:
    Writer(std::string& out, int indent) : out_(out), indent_(indent) {}

    void write(const nlohmann::json& value, int depth) {
        switch (value.type()) {
            case nlohmann::json::value_t::object:
                return container(value, depth, '{', '}', true);
            case nlohmann::json::value_t::array:
                return container(value, depth, '[', ']', false);
            case nlohmann::json::value_t::string:
                return text(value.get_ref<const std::string&>());
            case nlohmann::json::value_t::number_integer:
                return integer(value.get<std::int64_t>());
            case nlohmann::json::value_t::number_unsigned:
                return integer(value.get<std::uint64_t>());
            case nlohmann::json::value_t::boolean:
                out_ += value.get<bool>() ? "true" : "false";
                return;
            case nlohmann::json::value_t::null:
                out_ += "null";
                return;
            default:  // floats, binary, discarded: the library's own writer decides
                out_ += value.dump();
                return;
        }
    }

private:
    void container(const nlohmann::json& value, int depth, char open, char close, bool object) {
        out_ += open;
        if (value.empty()) {
            out_ += close;
            return;
        }
        const bool pretty = indent_ >= 0;
        bool first = true;
        auto element = [&](const nlohmann::json& v) {
            if (!first) out_ += ',';
            first = false;
            if (pretty) newline(depth + 1);
            write(v, depth + 1);
        };
        if (object) {
            for (auto it = value.begin(); it != value.end(); ++it) {
                if (!first) out_ += ',';
                first = false;
                if (pretty) newline(depth + 1);
                text(it.key());
                out_ += pretty ? ": " : ":";
                write(it.value(), depth + 1);
            }
        } else {
            for (const auto& v : value) element(v);
        }
        if (pretty) newline(depth);
        out_ += close;
    }

    void newline(int depth) {
        out_ += '\n';
        out_.append(static_cast<std::size_t>(indent_) * static_cast<std::size_t>(depth), ' ');
    }

    void text(const std::string& s) {
        for (unsigned char c : s) {
            if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') {
                // Escapes and UTF-8 checks exactly as the library's writer does them.
                out_ += nlohmann::json(s).dump();
                return;
            }
        }
        out_ += '"';
        out_ += s;
        out_ += '"';
    }

    template <class Integer>
    void integer(Integer v) {
        char buffer[24];
        const auto end = std::to_chars(buffer, buffer + sizeof buffer, v).ptr;
        out_.append(buffer, end);
    }

    std::string& out_;
    int indent_;
};

// An upper guess of the text's size, so a large body is written without regrowing (each regrowth
// copies everything written so far).
std::size_t estimate(const nlohmann::json& value, int depth, int indent) {
    const std::size_t lineCost = indent > 0 ? static_cast<std::size_t>(indent * (depth + 1)) + 4 : 4;
    switch (value.type()) {
        case nlohmann::json::value_t::object: {
            std::size_t total = 2 + lineCost;
            for (auto it = value.begin(); it != value.end(); ++it) {
                total += it.key().size() + lineCost + estimate(it.value(), depth + 1, indent);
            }
            return total;
        }
        case nlohmann::json::value_t::array: {
            std::size_t total = 2 + lineCost;
            for (const auto& element : value) total += lineCost + estimate(element, depth + 1, indent);
            return total;
        }
        case nlohmann::json::value_t::string:
            return value.get_ref<const std::string&>().size() + 2;
        default:
            return 24;
    }
}

}  // namespace

std::string jsonText(const nlohmann::json& value, int indent) {
    std::string out;
    out.reserve(estimate(value, 0, indent));
    Writer(out, indent).write(value, 0);
    return out;
}

}  // namespace kiv::http
