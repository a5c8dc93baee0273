#include "formats/galileo_tokens.hpp"

#include <algorithm>
#include <utility>

namespace tavoq {

namespace {

bool isSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || (c >= '\x1c' && c <= '\x1f');
}

bool endsWord(char c) { return isSpace(c) || c == '"' || c == ';' || c == '='; }

} // namespace

GalileoTokens::GalileoTokens(std::string text) : source(std::move(text)) {}

long GalileoTokens::lineAt(std::size_t at) {
    line += static_cast<long>(std::count(source.begin() + static_cast<std::ptrdiff_t>(counted),
                                         source.begin() + static_cast<std::ptrdiff_t>(at), '\n'));
    counted = at;
    return line;
}

bool GalileoTokens::next(std::vector<Token> &tokens, long &startLine) {
    tokens.clear();
    if (failure != Error::None) {
        return false;
    }
    const std::size_t size = source.size();
    while (true) {
        while (position < size && isSpace(source[position])) {
            ++position;
        }
        if (position >= size) {
            if (!tokens.empty()) {
                failure = Error::CutShort;
                failureLine = startLine;
            }
            return false;
        }
        const std::size_t at = position;
        const char c = source[at];
        if (c == '/' && at + 1 < size && source[at + 1] == '/') {
            const std::size_t end = source.find('\n', at);
            position = end == std::string::npos ? size : end;
            continue;
        }
        if (c == '/' && at + 1 < size && source[at + 1] == '*') {
            const std::size_t end = source.find("*/", at + 2);
            if (end == std::string::npos) {
                failure = Error::UnclosedComment;
                failureLine = lineAt(at);
                return false;
            }
            position = end + 2;
            continue;
        }
        if (c == ';') {
            ++position;
            if (!tokens.empty()) {
                return true;
            }
            continue;
        }
        if (c == '"') {
            const std::size_t end = source.find('"', at + 1);
            if (end == std::string::npos) {
                failure = Error::OpenQuote;
                failureLine = lineAt(at);
                return false;
            }
            if (tokens.empty()) {
                startLine = lineAt(at);
            }
            tokens.push_back({Kind::String, at + 1, end - at - 1, at, end + 1 - at});
            position = end + 1;
            continue;
        }
        if (tokens.empty()) {
            startLine = lineAt(at);
        }
        if (c == '=') {
            tokens.push_back({Kind::Equals, at, 1, at, 1});
            ++position;
            continue;
        }
        std::size_t end = at + 1;
        while (end < size && !endsWord(source[end])) {
            ++end;
        }
        tokens.push_back({Kind::Word, at, end - at, at, end - at});
        position = end;
    }
}

} // namespace tavoq
