#include <pybind11/pybind11.h>

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bindings/register.hpp"
#include "formats/galileo_tokens.hpp"

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
}
