#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tavoq {

/// The statements of a Galileo fault-tree file (.dft) split into tokens, as the Python reader
/// (tavoq_tools.formats.galileo) reads them: a statement ends with ';'; its tokens are quoted
/// names ("any text but a double quote"), bare words (a run of characters other than
/// whitespace, '"', ';' and '='), and '='; whitespace, "// to the end of the line" and
/// "/* ... */" between tokens are skipped. The text is ASCII: whitespace is what Python's
/// regular expressions take for \s among the ASCII characters (tab to carriage return, the
/// four separators 0x1c-0x1f and the space).
class GalileoTokens {
public:
    enum class Kind : std::uint8_t { String, Word, Equals };
    struct Token {
        Kind kind;
        std::size_t begin; ///< the token's text: for a quoted name, without its quotes
        std::size_t length;
        /// The token as written (quotes included): tells a name from a word of the same text.
        std::size_t rawBegin;
        std::size_t rawLength;
    };
    enum class Error : std::uint8_t {
        None,
        UnclosedComment, ///< "/*" without "*/"
        OpenQuote,       ///< '"' without its closing quote
        CutShort,        ///< the text ends within a statement
    };

    explicit GalileoTokens(std::string text);

    /// The next statement: its tokens and the line of its first token (from 1). False at the
    /// end of the text or at an error, which error() then gives, with errorLine(): the line of
    /// the unclosed comment or quote, or the first line of the statement cut short.
    bool next(std::vector<Token> &tokens, long &line);

    const std::string &text() const { return source; }
    Error error() const { return failure; }
    long errorLine() const { return failureLine; }

private:
    /// The line of position `at`, counting the newlines since the last position asked.
    long lineAt(std::size_t at);

    std::string source;
    std::size_t position = 0;
    std::size_t counted = 0; ///< the line of this position is `line`
    long line = 1;
    Error failure = Error::None;
    long failureLine = 0;
};

} // namespace tavoq
