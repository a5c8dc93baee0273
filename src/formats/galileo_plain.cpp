#include "formats/galileo_plain.hpp"

#include <charconv>
#include <cmath>
#include <string>
#include <unordered_map>
#include <utility>

#include "formats/decimal.hpp"
#include "formats/galileo_tokens.hpp"
#include "formats/gate_order.hpp"

namespace tavoq {

namespace {

using Plain = GalileoPlain;
using Token = GalileoTokens::Token;
using TokenKind = GalileoTokens::Kind;

constexpr std::uint32_t noGate = UINT32_MAX;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Whether `s` is `word` in any case.
bool is(std::string_view s, std::string_view word) {
    if (s.size() != word.size()) {
        return false;
    }
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i] >= 'A' && s[i] <= 'Z' ? static_cast<char>(s[i] - 'A' + 'a') : s[i];
        if (c != word[i]) {
            return false;
        }
    }
    return true;
}

// A run of at most 9 digits as a number; false for anything else.
bool whole(std::string_view s, std::uint32_t &out) {
    if (s.empty() || s.size() > 9) {
        return false;
    }
    for (const char c : s) {
        if (!isDigit(c)) {
            return false;
        }
    }
    std::from_chars(s.data(), s.data() + s.size(), out);
    return true;
}

class Reader {
public:
    explicit Reader(std::string_view text) : t(text), tokens(std::string(text)) {}

    std::optional<Plain> read() {
        std::vector<Token> statement;
        long line = 0;
        bool topGiven = false;
        std::string_view top;
        while (tokens.next(statement, line)) {
            const Token &head = statement[0];
            if (head.kind == TokenKind::Word && is(text(head), "toplevel")) {
                if (statement.size() != 2 || statement[1].kind == TokenKind::Equals || topGiven) {
                    return std::nullopt;
                }
                topGiven = true;
                top = text(statement[1]);
                out.topLine = line;
                continue;
            }
            if (head.kind == TokenKind::Equals || statement.size() < 2) {
                return std::nullopt;
            }
            const std::uint32_t name = intern(text(head));
            if (defined[name] != 0) {
                return std::nullopt; // defined twice
            }
            const bool read = statement.size() > 2 && statement[2].kind == TokenKind::Equals
                                  ? event(statement, name, line)
                                  : gate(statement, name, line);
            if (!read) {
                return std::nullopt;
            }
        }
        if (tokens.error() != GalileoTokens::Error::None || !topGiven) {
            return std::nullopt;
        }
        out.top = intern(top);
        if (defined[out.top] == 0) {
            return std::nullopt;
        }
        for (const std::uint32_t input : out.inputs) {
            if (defined[input] == 0) {
                return std::nullopt; // never defined
            }
        }
        if (!ordered()) {
            return std::nullopt;
        }
        return std::move(out);
    }

private:
    std::string_view text(const Token &token) const { return t.substr(token.begin, token.length); }

    std::uint32_t intern(std::string_view name) {
        const auto [at, added] =
            numbers.emplace(name, static_cast<std::uint32_t>(out.names.size()));
        if (added) {
            out.names.push_back(name);
            defined.push_back(0);
        }
        return at->second;
    }

    // key=value..., each key once.
    bool event(const std::vector<Token> &statement, std::uint32_t name, long line) {
        static constexpr std::string_view keys[5] = {"lambda", "prob", "repair", "dorm", "phases"};
        Plain::Event e{name, line, {0, 0, 0, 0}, 0, 1};
        std::uint8_t seen = 0;
        for (std::size_t i = 1; i < statement.size(); i += 3) {
            if (i + 2 >= statement.size() || statement[i].kind != TokenKind::Word ||
                statement[i + 1].kind != TokenKind::Equals ||
                statement[i + 2].kind != TokenKind::Word) {
                return false;
            }
            int key = 0;
            while (key < 5 && !is(text(statement[i]), keys[key])) {
                ++key;
            }
            double value = 0;
            if (key == 5 || (seen & (1U << key)) != 0 ||
                !readDecimal(text(statement[i + 2]), value) || value < 0) {
                return false;
            }
            seen = static_cast<std::uint8_t>(seen | (1U << key));
            if (key == 4) {
                if (value != std::floor(value) || value < 1 || value > 1000) {
                    return false;
                }
                e.phases = static_cast<int>(value);
                continue;
            }
            if ((key == 1 || key == 3) && value > 1) {
                return false; // a probability, or a share of the rate
            }
            e.values[key] = value;
        }
        e.given = static_cast<std::uint8_t>(seen & 0xF);
        if ((seen & 3U) == 0) {
            return false; // neither lambda nor prob
        }
        defined[name] = 1;
        out.events.push_back(e);
        return true;
    }

    // kind input...: and, or, KofN, votK.
    bool gate(const std::vector<Token> &statement, std::uint32_t name, long line) {
        const Token &kind = statement[1];
        const auto count = static_cast<std::uint32_t>(statement.size() - 2);
        if (kind.kind != TokenKind::Word || count == 0) {
            return false;
        }
        const std::string_view word = text(kind);
        Plain::Gate g{name, line, Plain::Op::Or, 0, static_cast<std::uint32_t>(out.inputs.size()),
                      count};
        if (is(word, "and")) {
            g.op = Plain::Op::And;
        } else if (!is(word, "or")) {
            g.op = Plain::Op::Atleast;
            const std::size_t of = word.find("of");
            std::uint32_t n = count;
            const bool kofn = of != std::string_view::npos && whole(word.substr(0, of), g.k) &&
                              whole(word.substr(of + 2), n);
            const bool vot =
                word.size() > 3 && word.substr(0, 3) == "vot" && whole(word.substr(3), g.k);
            if ((!kofn && !vot) || n != count || g.k < 1 || g.k > count) {
                return false;
            }
        }
        for (std::size_t i = 2; i < statement.size(); ++i) {
            if (statement[i].kind == TokenKind::Equals) {
                return false;
            }
            out.inputs.push_back(intern(text(statement[i])));
        }
        defined[name] = 2;
        out.gates.push_back(g);
        return true;
    }

    // The order of the walk that finds no cycle.
    bool ordered() {
        const std::size_t n = out.gates.size();
        std::vector<std::uint32_t> gateAt(out.names.size(), noGate);
        for (std::uint32_t g = 0; g < n; ++g) {
            gateAt[out.gates[g].name] = g;
        }
        std::vector<std::uint32_t> first(n + 1, 0);
        std::vector<std::uint32_t> named; // the gates each gate names, left to right
        for (std::uint32_t g = 0; g < n; ++g) {
            first[g] = static_cast<std::uint32_t>(named.size());
            const Plain::Gate &gate = out.gates[g];
            for (std::uint32_t i = gate.first; i < gate.first + gate.count; ++i) {
                if (gateAt[out.inputs[i]] != noGate) {
                    named.push_back(gateAt[out.inputs[i]]);
                }
            }
        }
        first[n] = static_cast<std::uint32_t>(named.size());
        return gatesInOrder(first, named, out.order); // false at a cycle: the reader names it
    }

    std::string_view t;
    GalileoTokens tokens;
    Plain out;
    std::unordered_map<std::string_view, std::uint32_t> numbers;
    std::vector<std::uint8_t> defined; ///< by name: 0 not, 1 an event, 2 a gate
};

} // namespace

std::optional<GalileoPlain> readPlainGalileo(std::string_view text) { return Reader(text).read(); }

} // namespace tavoq
