#include "formats/open_psa_plain.hpp"

#include <algorithm>
#include <charconv>
#include <unordered_map>
#include <utility>

#include "formats/decimal.hpp"
#include "formats/gate_order.hpp"

namespace tavoq {

namespace {

using Plain = OpenPsaPlain;

// Formulas nested deeper than this are declined: the reader refuses them past 90.
constexpr int maxNesting = 80;
constexpr std::uint32_t noName = UINT32_MAX;

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

struct Attribute {
    std::string_view name;
    std::string_view value;
};

// A start tag: its name, up to three attributes, and whether it closes itself.
struct Tag {
    std::string_view name;
    Attribute attributes[3];
    int count = 0;
    bool empty = false;

    // The value of the attribute `key`, or null.
    const std::string_view *get(std::string_view key) const {
        for (int i = 0; i < count; ++i) {
            if (attributes[i].name == key) {
                return &attributes[i].value;
            }
        }
        return nullptr;
    }
    // Whether every attribute given is `a` or `b`.
    bool only(std::string_view a, std::string_view b = {}) const {
        for (int i = 0; i < count; ++i) {
            if (attributes[i].name != a && (b.empty() || attributes[i].name != b)) {
                return false;
            }
        }
        return true;
    }
};

enum class Kind : std::uint8_t { Event, Gate, House };
enum class RefTag : std::uint8_t { Gate, BasicEvent, House, Any };

class Reader {
public:
    explicit Reader(std::string_view text) : t(text) {}

    std::optional<Plain> read() {
        if (!ascii() || !prolog()) {
            return std::nullopt;
        }
        Tag root;
        if (!startTag(root) || root.name != "opsa-mef" || root.count != 0 || root.empty) {
            return std::nullopt;
        }
        if (!topLevel() || !misc() || p != t.size() || !resolve()) {
            return std::nullopt;
        }
        return std::move(out);
    }

private:
    // -- characters ---------------------------------------------------------------------

    // Only tabs, line ends and printable ASCII: no character the parser refuses, no
    // non-ASCII name to decode, no attribute whose value the parser would change.
    bool ascii() const {
        for (const char c : t) {
            const auto u = static_cast<unsigned char>(c);
            if (u >= 0x80 || (u < 0x20 && c != '\t' && c != '\n' && c != '\r')) {
                return false;
            }
        }
        return true;
    }

    bool at(std::string_view s) const { return t.compare(p, s.size(), s) == 0; }

    void spaces() {
        while (p < t.size() && isSpace(t[p])) {
            ++p;
        }
    }

    // Whitespace and comments; false at a comment that is not well-formed.
    bool misc() {
        while (true) {
            spaces();
            if (!at("<!--")) {
                return true;
            }
            const std::size_t end = t.find("--", p + 4);
            if (end == std::string_view::npos || end + 2 >= t.size() || t[end + 2] != '>') {
                return false;
            }
            p = end + 3;
        }
    }

    // An XML declaration of version 1.0 (its encoding UTF-8, if named), then comments.
    bool prolog() {
        if (at("<?xml") && p + 5 < t.size() && isSpace(t[p + 5])) {
            p += 5;
            Attribute pseudo[3];
            int n = 0;
            while (true) {
                const std::size_t before = p;
                spaces();
                if (at("?>")) {
                    p += 2;
                    break;
                }
                if (n == 3 || p == before || !attribute(pseudo[n])) {
                    return false;
                }
                ++n;
            }
            const std::string_view order[3] = {"version", "encoding", "standalone"};
            int next = 0;
            for (int i = 0; i < n; ++i) {
                while (next < 3 && pseudo[i].name != order[next]) {
                    ++next;
                }
                if (next == 3) {
                    return false;
                }
                const std::string_view v = pseudo[i].value;
                if ((next == 0 && v != "1.0") || (next == 1 && v != "UTF-8" && v != "utf-8") ||
                    (next == 2 && v != "yes" && v != "no")) {
                    return false;
                }
                ++next;
            }
            if (n == 0 || pseudo[0].name != "version") {
                return false;
            }
        }
        return misc() && at("<") && !at("<!") && !at("<?");
    }

    // name S? = S? "value" (or 'value'), with no '<' or '&' in the value, nor a character
    // the parser would turn into a space.
    bool attribute(Attribute &a) {
        const std::size_t start = p;
        while (p < t.size() && !isSpace(t[p]) && t[p] != '=' && t[p] != '>' && t[p] != '/' &&
               t[p] != '?' && t[p] != '"' && t[p] != '\'' && t[p] != '<') {
            ++p;
        }
        if (p == start) {
            return false;
        }
        a.name = t.substr(start, p - start);
        spaces();
        if (p >= t.size() || t[p] != '=') {
            return false;
        }
        ++p;
        spaces();
        if (p >= t.size() || (t[p] != '"' && t[p] != '\'')) {
            return false;
        }
        const char quote = t[p++];
        const std::size_t end = t.find(quote, p);
        if (end == std::string_view::npos) {
            return false;
        }
        a.value = t.substr(p, end - p);
        for (const char c : a.value) {
            if (c == '<' || c == '&' || c == '\t' || c == '\n' || c == '\r') {
                return false;
            }
        }
        p = end + 1;
        return true;
    }

    // -- tags ---------------------------------------------------------------------------

    // A start tag at p (p is at '<'), its attributes distinct.
    bool startTag(Tag &tag) {
        if (!at("<") || at("</") || at("<!") || at("<?")) {
            return false;
        }
        const std::size_t start = ++p;
        while (p < t.size() && !isSpace(t[p]) && t[p] != '>' && t[p] != '/') {
            ++p;
        }
        tag.name = t.substr(start, p - start);
        tag.count = 0;
        while (true) {
            const std::size_t before = p;
            spaces();
            if (at("/>")) {
                p += 2;
                tag.empty = true;
                return true;
            }
            if (at(">")) {
                ++p;
                tag.empty = false;
                return true;
            }
            if (tag.count == 3 || p == before || !attribute(tag.attributes[tag.count])) {
                return false;
            }
            for (int i = 0; i < tag.count; ++i) {
                if (tag.attributes[i].name == tag.attributes[tag.count].name) {
                    return false;
                }
            }
            ++tag.count;
        }
    }

    // After the comments and spaces inside an element: its end tag (true, `closed` set) or
    // the start tag of a child (true, in `child`); false for anything else (text).
    bool next(const Tag &open, Tag &child, bool &closed) {
        if (!misc()) {
            return false;
        }
        if (at("</")) {
            p += 2;
            if (t.compare(p, open.name.size(), open.name) != 0) {
                return false;
            }
            p += open.name.size();
            spaces();
            if (!at(">")) {
                return false;
            }
            ++p;
            closed = true;
            return true;
        }
        closed = false;
        return startTag(child);
    }

    // The rest of an element whose content must be empty (spaces and comments at most).
    bool nothingIn(const Tag &tag) {
        if (tag.empty) {
            return true;
        }
        Tag child;
        bool closed = false;
        return next(tag, child, closed) && closed;
    }

    // next() past the labels and attributes among the children, which the reader ignores:
    // `labelled` (when given) is set when there was one.
    bool element(const Tag &open, Tag &child, bool &closed, bool *labelled = nullptr) {
        while (next(open, child, closed)) {
            if (closed || (child.name != "label" && child.name != "attributes")) {
                return true;
            }
            if (!(child.name == "label" ? label(child) : attributes(child))) {
                return false;
            }
            if (labelled != nullptr) {
                *labelled = true;
            }
        }
        return false;
    }

    // Each child of `open` that is no label, given to `read` (false from it: declined), to
    // the end of `open`; `labelled` (when given) is set when there was a label among them.
    template <class Read> bool children(const Tag &open, Read &&read, bool *labelled = nullptr) {
        while (true) {
            Tag child;
            bool closed = false;
            if (!element(open, child, closed, labelled)) {
                return false;
            }
            if (closed) {
                return true;
            }
            if (!read(child)) {
                return false;
            }
        }
    }

    // The next child of `open` that is no label; false at its end.
    bool firstElement(const Tag &open, Tag &child) {
        bool closed = false;
        return element(open, child, closed) && !closed;
    }

    // The end of `open`, after labels at most.
    bool endAfterLabels(const Tag &open) {
        Tag child;
        bool closed = false;
        return element(open, child, closed) && closed;
    }

    // The rest of a <label>: text without markup, which the reader ignores.
    bool label(const Tag &tag) {
        if (tag.count != 0) {
            return false;
        }
        if (tag.empty) {
            return true;
        }
        const std::size_t end = t.find('<', p);
        if (end == std::string_view::npos) {
            return false;
        }
        const std::string_view text = t.substr(p, end - p);
        if (text.find('&') != std::string_view::npos ||
            text.find("]]>") != std::string_view::npos) {
            return false;
        }
        p = end;
        Tag child;
        bool closed = false;
        return next(tag, child, closed) && closed;
    }

    // The rest of an <attributes> of <attribute name=... value=... [type=...]/> elements.
    bool attributes(const Tag &tag) {
        if (tag.count != 0) {
            return false;
        }
        if (tag.empty) {
            return true;
        }
        while (true) {
            Tag child;
            bool closed = false;
            if (!next(tag, child, closed)) {
                return false;
            }
            if (closed) {
                return true;
            }
            for (int i = 0; i < child.count; ++i) {
                const std::string_view key = child.attributes[i].name;
                if (key != "name" && key != "value" && key != "type") {
                    return false;
                }
            }
            if (child.name != "attribute" || !nothingIn(child)) {
                return false;
            }
        }
    }

    // A name attribute that is there and not blank.
    static bool named(const Tag &tag, std::string_view &name) {
        const std::string_view *found = tag.get("name");
        if (found == nullptr || found->find_first_not_of(' ') == std::string_view::npos) {
            return false;
        }
        name = *found;
        return true;
    }

    // -- containers ---------------------------------------------------------------------

    bool topLevel() {
        Tag root;
        root.name = "opsa-mef";
        return children(root, [this](const Tag &child) {
            std::string path = "opsa-mef/";
            std::string_view name;
            if (child.name == "define-fault-tree" && child.only("name") && named(child, name)) {
                if (std::find(trees.begin(), trees.end(), name) != trees.end()) {
                    return false; // defined twice
                }
                trees.push_back(name);
                path.append("define-fault-tree[").append(name).append("]");
            } else if (child.name == "model-data" && child.count == 0) {
                path.append("model-data");
                name = {}; // no tree
            } else {
                return false;
            }
            out.containers.push_back(std::move(path));
            treeOf.push_back(name);
            return child.empty || container(child);
        });
    }

    bool container(const Tag &open) {
        const auto here = static_cast<std::uint32_t>(out.containers.size() - 1);
        return children(open, [this, here](const Tag &child) {
            return child.name == "define-gate"          ? gate(child, here)
                   : child.name == "define-basic-event" ? event(child, here)
                   : child.name == "define-house-event"
                       ? house(child, here)
                       : child.name == "define-parameter" && parameter(child);
        });
    }

    // The new name of an event or gate whose start tag is `open`, in container `here`: its
    // only attribute, and the element not empty (but a house event's).
    bool define(const Tag &open, Kind kind, std::uint32_t here, std::uint32_t &number) {
        std::string_view name;
        if (!open.only("name") || !named(open, name) || (open.empty && kind != Kind::House)) {
            return false;
        }
        number = static_cast<std::uint32_t>(out.names.size());
        if (!defined.emplace(name, number).second) {
            return false;
        }
        out.names.push_back(name);
        kinds.push_back(kind);
        definedIn.push_back(here);
        return true;
    }

    // -- definitions --------------------------------------------------------------------

    bool gate(const Tag &open, std::uint32_t here) {
        std::uint32_t number = 0;
        if (!define(open, Kind::Gate, here, number)) {
            return false;
        }
        Plain::Gate g{number, here, noName, true};
        bool labelled = false;
        const bool read = children(
            open,
            [this, &g](const Tag &child) {
                bool compact = true;
                if (g.formula != noName || !formula(child, 0, compact)) {
                    return false;
                }
                g.formula = formulaRoot;
                g.compact = compact;
                return true;
            },
            &labelled);
        if (!read || g.formula == noName) {
            return false;
        }
        // The reader reads the formula of a gate that holds more than it as nested.
        g.compact = g.compact && !labelled;
        out.gates.push_back(g);
        return true;
    }

    // A formula (the start tag read), its nodes added in prefix order; `compact` false when
    // it holds more than references, or is not an or, and or atleast.
    bool formula(const Tag &open, int depth, bool &compact) {
        using Op = Plain::Op;
        static constexpr std::pair<std::string_view, Op> ops[] = {
            {"or", Op::Or},     {"and", Op::And}, {"not", Op::Not}, {"xor", Op::Xor},
            {"nand", Op::Nand}, {"nor", Op::Nor}, {"iff", Op::Iff}, {"imply", Op::Imply}};
        Plain::Node node{Op::Name, 0, 0};
        if (open.name == "atleast") {
            const std::string_view *least = open.get("min");
            if (least == nullptr || !open.only("min") || least->empty() || least->size() > 9 ||
                !std::all_of(least->begin(), least->end(), isDigit)) {
                return false;
            }
            node.op = Plain::Op::Atleast;
            std::from_chars(least->data(), least->data() + least->size(), node.k);
        } else {
            for (const auto &[word, op] : ops) {
                node.op = open.name == word ? op : node.op;
            }
            if (node.op == Op::Name || open.count != 0) {
                return false;
            }
            compact = compact && (node.op == Op::Or || node.op == Op::And);
        }
        if (open.empty || depth > maxNesting) {
            return false;
        }
        const auto root = static_cast<std::uint32_t>(out.nodes.size());
        out.nodes.push_back(node);
        std::uint32_t operands = 0;
        bool labelled = false;
        const bool read = children(
            open,
            [&](const Tag &child) {
                ++operands;
                RefTag tag = RefTag::Any;
                if (child.name == "gate") {
                    tag = RefTag::Gate;
                } else if (child.name == "basic-event") {
                    tag = RefTag::BasicEvent;
                } else if (child.name == "house-event") {
                    tag = RefTag::House;
                } else if (child.name != "event") {
                    compact = false;
                    return formula(child, depth + 1, compact);
                }
                std::string_view name;
                if (!child.only("name") || !named(child, name) || !nothingIn(child)) {
                    return false;
                }
                references.push_back({name, tag, static_cast<std::uint32_t>(out.nodes.size())});
                out.nodes.push_back({Plain::Op::Name, noName, 0});
                return true;
            },
            &labelled);
        compact = compact && !labelled;
        // The reader's counts of arguments: not 1, imply 2, xor and iff 2 or more, the others 1
        // or more (atleast up to its min).
        const std::uint32_t fewest =
            node.op == Op::Xor || node.op == Op::Iff || node.op == Op::Imply ? 2 : 1;
        const bool one = node.op == Op::Not;
        if (!read || operands < fewest || (one && operands != 1) ||
            (node.op == Op::Imply && operands != 2) ||
            (node.op == Op::Atleast && (node.k < 1 || node.k > operands))) {
            return false;
        }
        out.nodes[root].value = operands;
        formulaRoot = root;
        return true;
    }

    // An event's one value, labels aside.
    bool event(const Tag &open, std::uint32_t here) {
        std::uint32_t number = 0;
        Tag value;
        if (!define(open, Kind::Event, here, number) || !firstElement(open, value)) {
            return false;
        }
        Plain::Event e{number, here, false, -1};
        if (value.name == "float") {
            if (!floatValue(value, e.value) || e.value < 0 || e.value > 1) {
                return false;
            }
        } else if (value.name != "exponential" || !exponential(value, e)) {
            return false;
        }
        if (!endAfterLabels(open)) {
            return false;
        }
        out.events.push_back(e);
        return true;
    }

    // A house event: of one <constant value="true|false"/> (labels aside), or of nothing,
    // which is false.
    bool house(const Tag &open, std::uint32_t here) {
        Plain::House h{0, here, false};
        if (!define(open, Kind::House, here, h.name)) {
            return false;
        }
        if (!open.empty) {
            Tag constant;
            bool closed = false;
            if (!element(open, constant, closed)) {
                return false;
            }
            if (!closed) {
                const std::string_view *value = constant.get("value");
                if (constant.name != "constant" || value == nullptr || !constant.only("value") ||
                    (*value != "true" && *value != "false") || !nothingIn(constant) ||
                    !endAfterLabels(open)) {
                    return false;
                }
                h.value = *value == "true";
            }
        }
        out.houses.push_back(h);
        return true;
    }

    // The rest of a <float value="..."/>.
    bool floatValue(const Tag &tag, double &value) {
        const std::string_view *text = tag.get("value");
        return text != nullptr && tag.only("value") && readDecimal(*text, value) && nothingIn(tag);
    }

    // <exponential> of a rate (<float> or <parameter>) and a mission time (<float> or
    // <system-mission-time/>).
    bool exponential(const Tag &open, Plain::Event &e) {
        e.rate = true;
        Tag rate;
        Tag time;
        if (open.count != 0 || open.empty || !firstElement(open, rate)) {
            return false;
        }
        if (rate.name == "float") {
            if (!floatValue(rate, e.value) || e.value < 0) {
                return false;
            }
        } else if (rate.name == "parameter") {
            std::string_view name;
            if (!rate.only("name") || !named(rate, name) || !nothingIn(rate)) {
                return false;
            }
            rates.emplace_back(out.events.size(), name);
        } else {
            return false;
        }
        if (!firstElement(open, time)) {
            return false;
        }
        if (time.name == "float") {
            double mission = 0;
            if (!floatValue(time, mission) || !(mission > 0)) {
                return false;
            }
            if (std::find(out.missionTimes.begin(), out.missionTimes.end(), mission) ==
                out.missionTimes.end()) {
                out.missionTimes.push_back(mission);
            }
        } else if (time.name != "system-mission-time" || time.count != 0 || !nothingIn(time)) {
            return false;
        }
        return endAfterLabels(open);
    }

    // A parameter's one float, labels aside.
    bool parameter(const Tag &open) {
        std::string_view name;
        Tag value;
        double number = 0;
        return open.only("name", "unit") && named(open, name) && !open.empty &&
               firstElement(open, value) && value.name == "float" && floatValue(value, number) &&
               endAfterLabels(open) && parameters.emplace(name, number).second;
    }

    // -- once every name is known ---------------------------------------------------------

    bool resolve() {
        for (const auto &[event, name] : rates) {
            const auto found = parameters.find(name);
            if (found == parameters.end() || found->second < 0) {
                return false;
            }
            out.events[event].value = found->second;
        }
        for (const Reference &r : references) {
            std::uint32_t number = 0;
            if (!find(r.name, number)) {
                return false;
            }
            const Kind kind = kinds[number];
            if ((r.tag == RefTag::Gate && kind != Kind::Gate) ||
                (r.tag == RefTag::BasicEvent && kind != Kind::Event) ||
                (r.tag == RefTag::House && kind != Kind::House)) {
                return false;
            }
            out.nodes[r.node].value = number;
        }
        if (out.gates.empty()) {
            return false;
        }
        return distinctOperands() && ordered();
    }

    // The name a reference gives: a name, or Tree.Name for a name defined in the fault tree
    // Tree (the reader finds a dotted name so when no component or private name is about).
    // False for any other.
    bool find(std::string_view name, std::uint32_t &number) const {
        auto found = defined.find(name);
        if (found == defined.end()) {
            const std::size_t dot = name.find('.');
            if (dot == std::string_view::npos ||
                name.find('.', dot + 1) != std::string_view::npos) {
                return false;
            }
            found = defined.find(name.substr(dot + 1));
            if (found == defined.end() ||
                treeOf[definedIn[found->second]] != name.substr(0, dot)) {
                return false;
            }
        }
        number = found->second;
        return true;
    }

    // No formula names one thing twice among its own operands. A formula's names are checked
    // once it is complete: a formula nested between two of them may name the same again.
    bool distinctOperands() {
        struct Open {
            std::uint32_t node;
            std::uint32_t left; ///< operands not yet seen
            std::size_t from;   ///< where its names start in `listed`
        };
        std::vector<std::uint32_t> seenBy(out.names.size(), noName);
        std::vector<std::uint32_t> listed; // the names of the formulas open, innermost last
        std::vector<Open> open;
        for (std::uint32_t i = 0; i < out.nodes.size(); ++i) {
            const Plain::Node &node = out.nodes[i];
            if (!open.empty()) {
                --open.back().left;
                if (node.op == Plain::Op::Name) {
                    listed.push_back(node.value);
                }
            }
            if (node.op != Plain::Op::Name) {
                open.push_back({i, node.value, listed.size()});
            }
            while (!open.empty() && open.back().left == 0) {
                const Open done = open.back();
                open.pop_back();
                for (std::size_t j = done.from; j < listed.size(); ++j) {
                    if (seenBy[listed[j]] == done.node) {
                        return false;
                    }
                    seenBy[listed[j]] = done.node;
                }
                listed.resize(done.from);
            }
        }
        return true;
    }

    // The gates no gate names, and the order of the walk that finds no cycle.
    bool ordered() {
        const std::size_t n = out.gates.size();
        std::vector<std::uint32_t> gateAt(out.names.size(), noName);
        for (std::uint32_t g = 0; g < n; ++g) {
            gateAt[out.gates[g].name] = g;
        }
        // The gates each gate names, left to right through its nesting.
        std::vector<std::uint32_t> first(n + 1, 0);
        std::vector<std::uint32_t> named;
        std::vector<bool> used(n, false);
        for (std::uint32_t g = 0; g < n; ++g) {
            first[g] = static_cast<std::uint32_t>(named.size());
            const std::uint32_t end = g + 1 < n ? out.gates[g + 1].formula
                                                : static_cast<std::uint32_t>(out.nodes.size());
            for (std::uint32_t i = out.gates[g].formula; i < end; ++i) {
                const Plain::Node &node = out.nodes[i];
                if (node.op == Plain::Op::Name && gateAt[node.value] != noName) {
                    named.push_back(gateAt[node.value]);
                    used[gateAt[node.value]] = true;
                }
            }
        }
        first[n] = static_cast<std::uint32_t>(named.size());
        for (std::uint32_t g = 0; g < n; ++g) {
            if (!used[g]) {
                out.unused.push_back(g);
            }
        }
        return gatesInOrder(first, named, out.order); // false at a cycle: the reader names it
    }

    struct Reference {
        std::string_view name;
        RefTag tag;
        std::uint32_t node;
    };

    std::string_view t;
    std::size_t p = 0;
    Plain out;
    std::uint32_t formulaRoot = 0;
    std::vector<std::string_view> trees;
    std::vector<std::string_view> treeOf; ///< by container: its fault tree's name, or none
    std::vector<std::uint32_t> definedIn; ///< by name: its container
    std::unordered_map<std::string_view, std::uint32_t> defined;
    std::vector<Kind> kinds;
    std::unordered_map<std::string_view, double> parameters;
    std::vector<std::pair<std::size_t, std::string_view>> rates; // event, its parameter
    std::vector<Reference> references;
};

} // namespace

std::optional<OpenPsaPlain> readPlainOpenPsa(std::string_view text) { return Reader(text).read(); }

} // namespace tavoq
