// Feeds arbitrary bytes as a parameter file: the byte-wise splitter and the
// whole-file split must agree with each other and with an independent reading of
// the same bytes, and every command must be one the download can send.

#include "paramlines.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

void Require(bool holds, const char* invariant)
{
    if (!holds) {
        std::fprintf(stderr, "parameter line invariant broken: %s\n", invariant);
        std::abort();
    }
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool IsUpperLetter(char c)
{
    return c >= 'A' && c <= 'Z';
}

// The model: drop every CR, cut at every LF, and keep the piece after the last
// LF only when it has three or more characters.
std::vector<std::string> ModelLines(std::string_view content)
{
    std::string text;
    std::copy_if(content.begin(), content.end(), std::back_inserter(text), [](char c) { return c != '\r'; });
    std::vector<std::string> pieces(1);
    for (char c : text) {
        if (c == '\n')
            pieces.emplace_back();
        else
            pieces.back().push_back(c);
    }
    if (pieces.back().size() < 3)
        pieces.pop_back();
    return pieces;
}

void CheckCommand(const std::string& line)
{
    const auto name = ParameterCommandName(line);
    const auto command = ParameterCommand(line);
    Require(command.starts_with("AT"), "every command starts with AT");
    Require(command.find_first_of("\r\n") == std::string::npos, "no command holds CR or LF");

    if (name.starts_with("PIL") && name.size() > 4) {
        Require(!line.empty() && line.front() == 'T', "only a line beginning with 'T' is a table line");
        Require(name == "PIL" + line, "a table line's name holds the whole line");
        Require(command == "AT" + name, "a table line is sent whole after ATPIL");
        return;
    }
    if (line == "T") {
        Require(command == "ATPILT", "the single 'T' is a table line too");
        return;
    }
    Require(line.empty() || line.front() != 'T', "every line beginning with 'T' is a table line");
    Require(name.size() == 4 && std::all_of(name.begin(), name.end(), IsUpperLetter),
            "any other name is four upper-case letters");
    const std::string value = line.size() > 3 ? line.substr(3) : std::string();
    Require(command == "AT" + name + value, "a four-letter name is followed by the line from its fourth character");
    Require(ParameterCommandName(line.substr(0, 3)) == name, "the name depends on the code alone");
    if (name != "ZZZZ")
        Require(line.size() >= 3 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]),
                "only a three-digit code has a name of its own");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view content(reinterpret_cast<const char*>(data), size);

    TParameterLineSplitter splitter;
    std::vector<std::string> fed;
    for (std::size_t i = 0; i < size; ++i) {
        auto line = splitter.Feed(data[i]);
        Require(line.has_value() == (data[i] == '\n'), "a line is finished exactly at each LF");
        if (line)
            fed.push_back(std::move(*line));
    }
    if (auto line = splitter.Finish())
        fed.push_back(std::move(*line));
    Require(!splitter.Finish().has_value(), "a finished splitter holds nothing more");

    const auto whole = ParameterLines(content);
    Require(fed == whole, "the byte-wise and the whole-file split agree");
    Require(whole == ModelLines(content), "the split keeps every line and drops only CRs and a short tail");

    for (const auto& line : whole)
        CheckCommand(line);
    return 0;
}
