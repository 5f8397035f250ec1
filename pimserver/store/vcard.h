// vCard reading (2.1, 3.0, 4.0) and writing (3.0).
//
// A Card keeps every property it was read with, in order, so that a card
// written back carries properties nobody here understands. Values are held in
// one normal form whatever version they came from: the escaped text form of
// vCard 3.0, without folding, transfer encoding or charset (always UTF-8).
// Binary values (ENCODING=b) hold their base64 text without white space.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace pim::vcard {

// Thrown by parseCards on malformed input. Callers catch it at their library
// boundary; what() names the line, line() gives it as a number (1-based).
class ParseError : public std::runtime_error {
public:
    ParseError(std::size_t line, const std::string& message);
    std::size_t line() const noexcept { return line_; }

private:
    std::size_t line_;
};

struct Param {
    std::string name;                 // upper case ("TYPE", "ENCODING", "X-FOO")
    std::vector<std::string> values;  // unquoted, as given; never empty
};

struct Property {
    std::string group;          // "" when the property has no group
    std::string name;           // upper case
    std::vector<Param> params;  // in input order
    std::string value;          // vCard 3.0 escaped form (see the file comment)

    // First parameter of that name (case-insensitive), or null.
    const Param* param(std::string_view name) const;
    // True when a TYPE parameter (or a 2.1 bare type) lists type, ignoring case.
    bool hasType(std::string_view type) const;
    // True for ENCODING=b (also 2.1 BASE64): value is base64 text.
    bool isBinary() const;
    // The value unescaped: "\n" becomes a line break, "\," a comma and so on.
    std::string text() const;
    // The value split at unescaped semicolons, each part unescaped (N, ADR, ORG).
    std::vector<std::string> components() const;
};

struct Card {
    std::string version;               // version read ("2.1", "3.0", "4.0"); "" for built cards
    std::vector<Property> properties;  // in order, without BEGIN, END and VERSION

    // First property of that name (case-insensitive), or null.
    const Property* find(std::string_view name) const;
    Property* find(std::string_view name);
    std::vector<const Property*> findAll(std::string_view name) const;

    // Component 1 of N.
    std::string givenName() const;
    // Component 0 of N.
    std::string familyName() const;
    // FN; without FN the given and family names joined by a blank.
    std::string formattedName() const;
    // Every EMAIL in card order, those marked preferred (TYPE=pref, PREF=1) first.
    std::vector<std::string> emails() const;
    // Component 0 of ORG (the organization's name; units follow it in ORG).
    std::string organization() const;

    // Builders: they take plain (unescaped) text and escape it.
    Property& add(std::string_view name, std::string_view text);
    Property& addStructured(std::string_view name, const std::vector<std::string>& components);
    // Replaces the value of the first property of that name, or adds one.
    Property& set(std::string_view name, std::string_view text);
    Property& setStructured(std::string_view name, const std::vector<std::string>& components);
    // Removes every property of that name; returns how many went.
    std::size_t remove(std::string_view name);
};

// Every card of a .vcf text (several cards, any mix of 2.1, 3.0 and 4.0).
// A leading byte-order mark and blank lines between cards are allowed.
// Throws ParseError on malformed input.
std::vector<Card> parseCards(std::string_view text);

// The card as vCard 3.0: UTF-8, CRLF line ends, lines folded at 75 octets
// without splitting a character. FN and N are added when the card lacks them
// (3.0 requires both). Invalid UTF-8 in values is replaced by U+FFFD.
std::string writeCard(const Card& card);
std::string writeCards(const std::vector<Card>& cards);

// 3.0 text escaping: backslash, semicolon, comma and line breaks.
std::string escapeText(std::string_view plain);
std::string unescapeText(std::string_view escaped);

}  // namespace pim::vcard
