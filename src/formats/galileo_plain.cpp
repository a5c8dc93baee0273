#include "formats/galileo_plain.hpp"

#include <algorithm>
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
            const bool isEvent = statement.size() > 2 && statement[2].kind == TokenKind::Equals &&
                                 !splitPriority(statement);
            const bool read = isEvent && is(text(statement[1]), "pdep")
                                  ? pdep(statement, name, line)
                              : isEvent ? event(statement, name, line)
                                        : element(statement, name, line);
            if (!read) {
                return std::nullopt;
            }
        }
        if (tokens.error() != GalileoTokens::Error::None || !topGiven) {
            return std::nullopt;
        }
        out.top = intern(top);
        if (defined[out.top] != withOutput) {
            return std::nullopt;
        }
        for (const std::uint32_t input : out.inputs) {
            if (defined[input] != withOutput) {
                return std::nullopt; // never defined, or an element without an output
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
        defined[name] = withOutput;
        out.events.push_back(e);
        return true;
    }

    // pand<= and por<=, which the tokens split at the "=".
    bool splitPriority(const std::vector<Token> &statement) const {
        return statement.size() > 2 && statement[1].kind == TokenKind::Word &&
               (is(text(statement[1]), "pand<") || is(text(statement[1]), "por<")) &&
               statement[2].kind == TokenKind::Equals;
    }

    // The kind of a gate's word (lower case); false for a word of no kind read.
    static bool kindOf(std::string_view word, Plain::Kind &kind, std::uint32_t &k,
                       std::uint32_t count) {
        using K = Plain::Kind;
        static constexpr std::pair<std::string_view, K> words[] = {
            {"or", K::Or},
            {"and", K::And},
            {"csp", K::Csp},
            {"wsp", K::Wsp},
            {"hsp", K::Hsp},
            {"spare", K::Spare},
            {"fdep", K::Fdep},
            {"seq", K::Seq},
            {"mutex", K::Mutex},
            {"pand", K::Pand},
            {"pand-incl", K::Pand},
            {"pand<=", K::Pand},
            {"pand-excl", K::PandExclusive},
            {"pand<", K::PandExclusive},
            {"por", K::Por},
            {"por-incl", K::Por},
            {"por<=", K::Por},
            {"por-excl", K::PorExclusive},
            {"por<", K::PorExclusive},
        };
        for (const auto &[text, known] : words) {
            if (is(word, text)) {
                kind = known;
                return true;
            }
        }
        // KofN and votK, in any case as the reader takes them.
        kind = K::Atleast;
        std::string lower(word);
        std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        });
        const std::string_view low(lower);
        const std::size_t of = low.find("of");
        std::uint32_t n = count;
        const bool kofn = of != std::string_view::npos && whole(low.substr(0, of), k) &&
                          whole(low.substr(of + 2), n);
        const bool vot = low.size() > 3 && low.substr(0, 3) == "vot" && whole(low.substr(3), k);
        return (kofn || vot) && n == count && k >= 1 && k <= count;
    }

    // Whether the names of inputs[first] to inputs[first + count] are distinct.
    bool distinct(std::uint32_t first, std::uint32_t count) const {
        std::vector<std::uint32_t> names(out.inputs.begin() + first,
                                         out.inputs.begin() + first + count);
        std::sort(names.begin(), names.end());
        return std::adjacent_find(names.begin(), names.end()) == names.end();
    }

    // The names from statement[from] on as inputs; false at an '=' or with none.
    bool take(const std::vector<Token> &statement, std::size_t from, Plain::Element &e) {
        e.first = static_cast<std::uint32_t>(out.inputs.size());
        e.count = static_cast<std::uint32_t>(statement.size() - std::min(from, statement.size()));
        for (std::size_t i = from; i < statement.size(); ++i) {
            if (statement[i].kind == TokenKind::Equals) {
                return false;
            }
            out.inputs.push_back(intern(text(statement[i])));
        }
        return e.count > 0;
    }

    // "D" pdep=p "Trigger" "A"...: each dependent fails with the trigger with chance p.
    bool pdep(const std::vector<Token> &statement, std::uint32_t name, long line) {
        Plain::Element e{name, line, Plain::Kind::Pdep, 0, 0, 0, 0};
        if (statement.size() < 4 || statement[3].kind != TokenKind::Word ||
            !readDecimal(text(statement[3]), e.probability) || e.probability < 0 ||
            e.probability > 1 || !take(statement, 4, e) || e.count < 2) {
            return false;
        }
        defined[name] = outputless;
        out.elements.push_back(e);
        return true;
    }

    // "G" kind input...: a gate, a spare gate, an fdep, a seq or a mutex.
    bool element(const std::vector<Token> &statement, std::uint32_t name, long line) {
        using K = Plain::Kind;
        const Token &second = statement[1];
        if (second.kind != TokenKind::Word) {
            return false;
        }
        std::string_view word = text(second);
        std::size_t from = 2;
        if (splitPriority(statement)) {
            word = is(word, "pand<") ? "pand<=" : "por<=";
            from = 3;
        }
        Plain::Element e{name, line, K::Or, 0, 1.0, 0, 0};
        if (!take(statement, from, e) || !kindOf(word, e.kind, e.k, e.count)) {
            return false;
        }
        const bool spare = e.kind >= K::Csp && e.kind <= K::Spare;
        const bool restriction = e.kind == K::Seq || e.kind == K::Mutex;
        const bool needsTwo =
            restriction || e.kind == K::Fdep || (e.kind >= K::Pand && e.kind <= K::PorExclusive);
        if ((needsTwo && e.count < 2) || ((spare || restriction) && !distinct(e.first, e.count))) {
            return false;
        }
        defined[name] = restriction || e.kind == K::Fdep ? outputless : withOutput;
        out.elements.push_back(e);
        return true;
    }

    // The order of the walk that finds no cycle.
    bool ordered() {
        std::vector<std::uint32_t> gates; // the elements that are gates, by position
        std::vector<std::uint32_t> gateAt(out.names.size(), noGate);
        for (std::uint32_t i = 0; i < out.elements.size(); ++i) {
            if (Plain::isGate(out.elements[i].kind)) {
                gateAt[out.elements[i].name] = static_cast<std::uint32_t>(gates.size());
                gates.push_back(i);
            }
        }
        std::vector<std::uint32_t> first(gates.size() + 1, 0);
        std::vector<std::uint32_t> named; // the gates each gate names, left to right
        for (std::uint32_t g = 0; g < gates.size(); ++g) {
            first[g] = static_cast<std::uint32_t>(named.size());
            const Plain::Element &gate = out.elements[gates[g]];
            for (std::uint32_t i = gate.first; i < gate.first + gate.count; ++i) {
                if (gateAt[out.inputs[i]] != noGate) {
                    named.push_back(gateAt[out.inputs[i]]);
                }
            }
        }
        first[gates.size()] = static_cast<std::uint32_t>(named.size());
        if (!gatesInOrder(first, named, out.order)) {
            return false; // a cycle: the reader names it
        }
        for (std::uint32_t &g : out.order) {
            g = gates[g];
        }
        return true;
    }

    std::string_view t;
    GalileoTokens tokens;
    Plain out;
    std::unordered_map<std::string_view, std::uint32_t> numbers;
    static constexpr std::uint8_t withOutput = 1; ///< an event, a gate or a spare gate
    static constexpr std::uint8_t outputless = 2; ///< an fdep, pdep, seq or mutex
    std::vector<std::uint8_t> defined;            ///< by name: 0 not yet, or one of the two
};

} // namespace

std::optional<GalileoPlain> readPlainGalileo(std::string_view text) { return Reader(text).read(); }

} // namespace tavoq
