#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bindings/register.hpp"
#include "formats/galileo_plain.hpp"
#include "formats/galileo_tokens.hpp"
#include "formats/open_psa_plain.hpp"

namespace py = pybind11;

namespace {

// The tokenizer with the Python objects of its tokens: one (kind, text) tuple per distinct
// token as written, however often the file repeats it, so that a name is one string.
class PyGalileoTokens {
public:
    explicit PyGalileoTokens(std::string text) : tokens(std::move(text)) {
        // About a distinct token per 32 characters of a large file: no rehashing on the way.
        made.reserve(tokens.text().size() / 32);
    }

    py::list statements(int limit) {
        py::list out;
        std::vector<tavoq::GalileoTokens::Token> found;
        long line = 0;
        for (int i = 0; i < limit && tokens.next(found, line); ++i) {
            // Filled through the C API: a statement is a few tokens, and pybind11's item
            // accessors cost more than the tokenizing.
            py::list items(found.size());
            for (std::size_t j = 0; j < found.size(); ++j) {
                PyList_SET_ITEM(items.ptr(), static_cast<Py_ssize_t>(j),
                                token(found[j]).inc_ref().ptr());
            }
            out.append(py::make_tuple(line, std::move(items)));
        }
        return out;
    }

    py::object error() const {
        using Error = tavoq::GalileoTokens::Error;
        const char *kind = nullptr;
        switch (tokens.error()) {
        case Error::None:
            return py::none();
        case Error::UnclosedComment:
            kind = "unclosed";
            break;
        case Error::OpenQuote:
            kind = "open";
            break;
        case Error::CutShort:
            kind = "cut short";
            break;
        }
        return py::make_tuple(kind, tokens.errorLine());
    }

private:
    py::handle token(const tavoq::GalileoTokens::Token &t) {
        const std::string &text = tokens.text();
        const std::string_view raw(text.data() + t.rawBegin, t.rawLength);
        auto found = made.find(raw);
        if (found != made.end()) {
            return found->second;
        }
        using Kind = tavoq::GalileoTokens::Kind;
        const py::str &kind = t.kind == Kind::String ? string
                              : t.kind == Kind::Word ? word
                                                     : equals;
        return made.emplace(raw, py::make_tuple(kind, py::str(text.data() + t.begin, t.length)))
            .first->second;
    }

    tavoq::GalileoTokens tokens;
    py::str string{"string"};
    py::str word{"word"};
    py::str equals{"equals"};
    std::unordered_map<std::string_view, py::tuple> made;
};

// f(args...): a call through the vector protocol, without the tuple that pybind11 makes.
py::object call(const py::object &f, std::initializer_list<PyObject *> args) {
    PyObject *made = PyObject_Vectorcall(f.ptr(), args.begin(), args.size(), nullptr);
    if (made == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(made);
}

// The Python objects of a plain Open-PSA tree: each name one string, however often used.
class PlainTree {
public:
    PlainTree(const tavoq::OpenPsaPlain &tree, py::object event, py::object formula)
        : tree(tree), event(std::move(event)), formula(std::move(formula)) {
        names.reserve(tree.names.size());
        for (const std::string_view name : tree.names) {
            names.emplace_back(name.data(), name.size());
        }
    }

    py::tuple objects() {
        py::dict events;
        std::string where;
        for (const auto &e : tree.events) {
            const py::str &name = names[e.name];
            definition(where, e.container, "define-basic-event", e.name);
            const py::str path(where);
            const py::float_ value(e.value);
            events[name] = e.rate ? call(event, {name.ptr(), path.ptr(), value.ptr()})
                                  : call(event, {name.ptr(), path.ptr(), Py_None, value.ptr()});
        }
        // The house events after the basic events, as the reader puts them.
        const py::float_ failed(1.0);
        const py::float_ working(0.0);
        for (const auto &h : tree.houses) {
            const py::str &name = names[h.name];
            definition(where, h.container, "define-house-event", h.name);
            const py::str path(where);
            events[name] =
                call(event, {name.ptr(), path.ptr(), Py_None, (h.value ? failed : working).ptr()});
        }
        py::dict gates;
        py::list nested;
        for (const auto &g : tree.gates) {
            definition(where, g.container, "define-gate", g.name);
            std::uint32_t at = g.formula;
            gates[names[g.name]] = formulaAt(at, where);
            if (!g.compact) {
                nested.append(names[g.name]);
            }
        }
        py::list times;
        for (const double t : tree.missionTimes) {
            times.append(t);
        }
        return py::make_tuple(events, gates, nested, gateNames(tree.unused), gateNames(tree.order),
                              times);
    }

private:
    // `where` := the XML path of a definition: its container's, then tag[name].
    void definition(std::string &where, std::uint32_t container, std::string_view tag,
                    std::uint32_t name) const {
        where.assign(tree.containers[container])
            .append("/")
            .append(tag)
            .append("[")
            .append(tree.names[name])
            .append("]");
    }

    // The formula whose root is nodes[at], inside the XML path `path`; `at` is moved past it.
    py::object formulaAt(std::uint32_t &at, std::string &path) {
        using Op = tavoq::OpenPsaPlain::Op;
        const auto &node = tree.nodes[at++];
        const int op = static_cast<int>(node.op);
        const std::size_t length = path.size();
        path.append(steps[op]);
        const py::str where(path);
        py::list inputs(node.value);
        for (std::uint32_t i = 0; i < node.value; ++i) {
            const auto &operand = tree.nodes[at];
            py::object input;
            if (operand.op == Op::Name) {
                input = names[operand.value];
                ++at;
            } else {
                input = formulaAt(at, path);
            }
            PyList_SET_ITEM(inputs.ptr(), static_cast<Py_ssize_t>(i), input.release().ptr());
        }
        path.resize(length);
        const py::int_ k(node.k);
        if (node.op == Op::Imply) {
            // a -> b is nand(a, not(b)), both at the imply's path, as the reader writes it.
            const py::list negated(1);
            PyList_SET_ITEM(negated.ptr(), 0, py::object(inputs[1]).release().ptr());
            const py::str &nand = kinds[static_cast<int>(Op::Nand)];
            const py::str &negation = kinds[static_cast<int>(Op::Not)];
            inputs[1] = call(formula, {negation.ptr(), where.ptr(), negated.ptr(), k.ptr()});
            return call(formula, {nand.ptr(), where.ptr(), inputs.ptr(), k.ptr()});
        }
        return call(formula, {kinds.at(op).ptr(), where.ptr(), inputs.ptr(), k.ptr()});
    }

    py::list gateNames(const std::vector<std::uint32_t> &positions) const {
        py::list out(positions.size());
        for (std::size_t i = 0; i < positions.size(); ++i) {
            PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i),
                            names[tree.gates[positions[i]].name].inc_ref().ptr());
        }
        return out;
    }

    static py::str interned(const char *text) {
        return py::reinterpret_steal<py::str>(PyUnicode_InternFromString(text));
    }

    const tavoq::OpenPsaPlain &tree;
    py::object event;
    py::object formula;
    std::vector<py::str> names;
    // By Op: each formula's kind in the draft, and its step of the XML path.
    const std::array<py::str, 8> kinds = {interned("or"),  interned("and"), interned("atleast"),
                                          interned("not"), interned("xor"), interned("nand"),
                                          interned("nor"), interned("iff")};
    static constexpr const char *steps[9] = {"/or",   "/and", "/atleast", "/not",  "/xor",
                                             "/nand", "/nor", "/iff",     "/imply"};
};

// The characters of an ASCII string, without a copy; nullopt for any other string, which is
// never plain (the readers of such texts, and their whitespace, are Unicode's).
std::optional<std::string_view> asciiText(const py::str &text) {
    if (!PyUnicode_IS_ASCII(text.ptr())) {
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data == nullptr) {
        throw py::error_already_set();
    }
    return std::string_view(data, static_cast<std::size_t>(size));
}

// The Python objects of a plain Galileo tree: each name one string, however often used.
// The classes of a Galileo draft's parts, as the Python reader makes them.
struct GalileoClasses {
    py::object event, formula, spare, dependency, restriction;
};

py::object plainGalileo(const py::str &text, const GalileoClasses &made) {
    using Kind = tavoq::GalileoPlain::Kind;
    const std::optional<std::string_view> ascii = asciiText(text);
    const std::optional<tavoq::GalileoPlain> tree =
        ascii ? tavoq::readPlainGalileo(*ascii) : std::nullopt;
    if (!tree) {
        return py::none();
    }
    std::vector<py::str> names;
    names.reserve(tree->names.size());
    for (const std::string_view name : tree->names) {
        names.emplace_back(name.data(), name.size());
    }
    const auto line = [](long number) { return py::str("line " + std::to_string(number)); };
    py::dict events;
    for (const auto &e : tree->events) {
        py::object values[4];
        for (int i = 0; i < 4; ++i) {
            values[i] = (e.given & (1U << i)) != 0 ? py::object(py::float_(e.values[i]))
                                                   : py::object(py::none());
        }
        const py::int_ phases(e.phases);
        const py::str where = line(e.line);
        const py::str &name = names[e.name];
        events[name] = call(made.event, {name.ptr(), where.ptr(), values[0].ptr(), values[1].ptr(),
                                         values[2].ptr(), phases.ptr(), values[3].ptr()});
    }
    // Each kind's word in the draft, by Kind.
    static constexpr const char *words[] = {
        "or",  "and", "atleast", "pand", "pand_exclusive", "por", "por_exclusive", "csp",
        "wsp", "hsp", "spare",   "fdep", "pdep",           "seq", "mutex"};
    std::vector<py::str> kinds;
    for (const char *word : words) {
        kinds.push_back(py::reinterpret_steal<py::str>(PyUnicode_InternFromString(word)));
    }
    const auto inputs = [&](std::uint32_t first, std::uint32_t count) {
        py::list list(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i),
                            names[tree->inputs[first + i]].inc_ref().ptr());
        }
        return list;
    };
    py::dict gates;
    py::dict spares;
    py::list dependencies;
    py::list restrictions;
    for (const auto &e : tree->elements) {
        const py::str &name = names[e.name];
        const py::str where = line(e.line);
        const py::str &kind = kinds[static_cast<std::size_t>(e.kind)];
        if (tavoq::GalileoPlain::isGate(e.kind)) {
            const py::int_ k(e.k);
            gates[name] = call(made.formula,
                               {kind.ptr(), where.ptr(), inputs(e.first, e.count).ptr(), k.ptr()});
        } else if (e.kind == Kind::Fdep || e.kind == Kind::Pdep) {
            const py::float_ probability(e.probability);
            dependencies.append(call(made.dependency,
                                     {name.ptr(), where.ptr(), names[tree->inputs[e.first]].ptr(),
                                      inputs(e.first + 1, e.count - 1).ptr(), probability.ptr()}));
        } else if (e.kind == Kind::Seq || e.kind == Kind::Mutex) {
            restrictions.append(call(made.restriction, {name.ptr(), where.ptr(), kind.ptr(),
                                                        inputs(e.first, e.count).ptr()}));
        } else {
            spares[name] = call(
                made.spare, {name.ptr(), where.ptr(), kind.ptr(), inputs(e.first, e.count).ptr()});
        }
    }
    py::list order(tree->order.size());
    for (std::size_t i = 0; i < tree->order.size(); ++i) {
        PyList_SET_ITEM(order.ptr(), static_cast<Py_ssize_t>(i),
                        names[tree->elements[tree->order[i]].name].inc_ref().ptr());
    }
    return py::make_tuple(events, gates, spares, dependencies, restrictions, names[tree->top],
                          line(tree->topLine), order);
}

py::object plainOpenPsa(const py::str &text, py::object event, py::object formula) {
    const std::optional<std::string_view> ascii = asciiText(text);
    const std::optional<tavoq::OpenPsaPlain> tree =
        ascii ? tavoq::readPlainOpenPsa(*ascii) : std::nullopt;
    if (!tree) {
        return py::none();
    }
    return PlainTree(*tree, std::move(event), std::move(formula)).objects();
}

} // namespace

void register_readers(py::module_ &m) {
    py::class_<PyGalileoTokens>(
        m, "GalileoTokens",
        "The statements of the ASCII text of a Galileo file (.dft), read in batches: each as "
        "(the line of its first token, its tokens), a token as (kind, text), the kind "
        "\"string\" (a quoted name, without its quotes), \"word\" or \"equals\". Comments and "
        "empty statements are skipped.")
        .def(py::init<std::string>(), py::arg("text"))
        .def("statements", &PyGalileoTokens::statements, py::arg("limit"),
             "Up to limit more statements; fewer at the end of the text or at an error")
        .def_property_readonly(
            "error", &PyGalileoTokens::error,
            "None, or why reading stopped early and the line: (\"unclosed\", line) for a /* "
            "comment never closed, (\"open\", line) for a quoted name never closed, (\"cut "
            "short\", line) for a last statement without its ; (the line it starts on)");
    m.def("readPlainOpenPsa", &plainOpenPsa, py::arg("text"), py::arg("event"), py::arg("formula"),
          "The fault tree of an Open-PSA text of the plain shapes large files have (public "
          "names; gates of or, and, atleast, not, xor, nand, nor, iff and imply over references; "
          "basic events of a probability "
          "or an exponential; house events), or None for any other text, valid or not. It is "
          "(events, gates, the gates of nested formulas or labels, the gates no gate names, "
          "every gate after those it names, the mission times of the exponentials): the "
          "events (house events last) and gates by name in file order, each made by "
          "event(name, xml_path, rate) or event(name, xml_path, None, probability) and "
          "formula(kind, xml_path, inputs, k).");
    m.def(
        "readPlainGalileo",
        [](const py::str &text, py::object event, py::object formula, py::object spare,
           py::object dependency, py::object restriction) {
            return plainGalileo(text, {std::move(event), std::move(formula), std::move(spare),
                                       std::move(dependency), std::move(restriction)});
        },
        py::arg("text"), py::arg("event"), py::arg("formula"), py::arg("spare"),
        py::arg("dependency"), py::arg("restriction"),
        "The fault tree of a Galileo text of the shapes read natively (gates and, or, KofN, "
        "votK, pand and por; spare gates, fdep, pdep, seq and mutex; basic events of lambda, "
        "prob, repair, dorm and phases), or None for any other text, valid or not. It is "
        "(events, gates, spare gates, dependencies, restrictions, the top, where the top is "
        "named, every gate after those it names), each part made, with \"line N\" for where it "
        "is, by event(name, where, lambda, prob, repair, phases, dorm) (None for a value not "
        "given), formula(kind, where, inputs, k), spare(name, where, kind, units), "
        "dependency(name, where, trigger, dependents, probability) and restriction(name, "
        "where, kind, inputs).");
}
