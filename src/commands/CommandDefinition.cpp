#include "commands/CommandDefinition.h"

#include <boost/spirit/include/classic_core.hpp>
#include <boost/spirit/include/classic_numerics.hpp>

namespace cadentor {

namespace {

namespace sp = boost::spirit::classic;

// The rules of one definition line, built once per thread. The semantic actions write into the
// definition that parse() was given; rules refer to each other by reference, so the object never
// moves or copies.
class DefinitionGrammar {
public:
    DefinitionGrammar() {
        using sp::anychar_p;
        using sp::as_lower_d;
        using sp::blank_p;
        using sp::ch_p;
        using sp::str_p;
        using sp::uint_p;

        auto setName = [this](const char* first, const char* last) {
            target_->name.assign(first, last);
        };
        auto setPort = [this](unsigned value) { target_->portId = value; };
        auto setExec = [this](const char*, const char*) { target_->portId = ExecPortId; };
        auto setOpen = [this](const char*, const char*) { target_->portId = OpenPortId; };
        auto appendChar = [this](char c) {
            target_->bytes.push_back(static_cast<std::uint8_t>(c));
        };
        auto appendByte = [this](unsigned char value) { target_->bytes.push_back(value); };

        const sp::uint_parser<unsigned char, 2, 8, 8> binaryDigits;
        const sp::uint_parser<unsigned char, 16, 2, 2> hexDigits;

        definitionName = (+(anychar_p - (blank_p | ch_p(':'))))[setName];
        actionText = +anychar_p[appendChar];
        execAction =
            as_lower_d[str_p("exec")][setExec] >> *blank_p >> ch_p(':') >> *blank_p >> actionText;
        openAction =
            as_lower_d[str_p("open")][setOpen] >> *blank_p >> ch_p(':') >> *blank_p >> actionText;
        portNumber = uint_p[setPort];
        binaryByte = (ch_p('b') | ch_p('B')) >> binaryDigits[appendByte];
        hexByte = hexDigits[appendByte];
        byteValue = binaryByte | hexByte;
        byteAction = portNumber >> *blank_p >> ch_p(':') >> *blank_p >> byteValue >>
                     *(+blank_p >> byteValue);
        definitionLine = definitionName >> *blank_p >> ch_p(':') >> *blank_p >>
                         (execAction | openAction | byteAction) >> *blank_p;
    }

    DefinitionGrammar(const DefinitionGrammar&) = delete;
    DefinitionGrammar& operator=(const DefinitionGrammar&) = delete;

    bool parse(std::string_view line, CommandDefinition& definition) {
        target_ = &definition;
        const char* first = line.data();
        const bool full = sp::parse(first, first + line.size(), definitionLine).full;
        target_ = nullptr;
        return full;
    }

private:
    CommandDefinition* target_ = nullptr;
    sp::rule<> definitionLine, definitionName, execAction, openAction, actionText, byteAction,
        portNumber, byteValue, binaryByte, hexByte;
};

} // namespace

bool parseCommandDefinition(std::string_view line, CommandDefinition& definition) {
    thread_local DefinitionGrammar grammar;
    return grammar.parse(line, definition);
}

} // namespace cadentor
