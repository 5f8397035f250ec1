// Outlook message files (.msg): a compound file holding a MAPI property set
// laid out as the published message-file format asks (property stream,
// one stream per variable-length value, named-property mapping storage).
#pragma once

#include "compound_file.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pim::vcard {
struct Card;
}

namespace pim::msg {

using cfb::Bytes;

// A GUID in its on-disk byte order (first three fields little-endian).
using Guid = std::array<std::uint8_t, 16>;

// {00062004-0000-0000-C000-000000000046}: contact properties (e-mail, file-as, ...).
inline constexpr Guid kPsetidAddress = {0x04, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00,
                                        0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

enum PropType : std::uint16_t {
    kPtLong = 0x0003,
    kPtBoolean = 0x000B,
    kPtSysTime = 0x0040,
    kPtUnicode = 0x001F,
    kPtBinary = 0x0102,
};

// Property set of one top-level message. Later values replace earlier ones
// of the same property; strings are given as UTF-8.
class MessageBuilder {
public:
    void setString(std::uint16_t id, std::string_view utf8);
    void setLong(std::uint16_t id, std::int32_t value);
    void setBoolean(std::uint16_t id, bool value);
    void setBinary(std::uint16_t id, Bytes value);
    // Named properties by GUID and numeric name; they get ids from 0x8000 up
    // in order of first use.
    void setNamedString(const Guid& set, std::uint32_t lid, std::string_view utf8);
    void setNamedLong(const Guid& set, std::uint32_t lid, std::int32_t value);

    // The compound file (throws std::length_error when it cannot be addressed).
    Bytes build() const;

private:
    struct Value {
        std::uint16_t type;
        Bytes bytes;  // fixed values: little-endian, up to 8 bytes
    };
    struct Named {
        Guid set;
        std::uint32_t lid;
        Value value;
    };
    void set(std::uint16_t id, Value v);
    std::vector<std::pair<std::uint16_t, Value>> props_;
    std::vector<Named> named_;
};

// What a contact message carries; empty fields are left out.
struct ContactFields {
    std::string displayName, givenName, middleName, surname, prefix, suffix, nickname, fileAs;
    std::string company, department, jobTitle;
    std::vector<std::string> emails;  // up to three are written (Outlook's e-mail 1..3)
    std::string businessPhone, homePhone, mobilePhone, businessFax;
    std::string homeStreet, homeCity, homeState, homePostalCode, homeCountry;
    std::string workStreet, workCity, workState, workPostalCode, workCountry;
    std::string webPage;
    std::string body;
};

// Fields of a vCard as a contact message shows them.
ContactFields contactFieldsFromCard(const vcard::Card& card);

// A message file of class IPM.Contact.
Bytes writeContactMessage(const ContactFields& contact);

// UTF-16LE bytes of UTF-8 text, invalid sequences as U+FFFD, no terminator.
Bytes utf16le(std::string_view utf8);

}  // namespace pim::msg
