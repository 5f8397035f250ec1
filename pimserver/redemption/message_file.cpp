#include "message_file.h"

#include "../store/vcard.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <stdexcept>

namespace pim::msg {

namespace {

// Property ids (the low half of a tag is its type).
enum : std::uint16_t {
    kImportance = 0x0017,
    kMessageClass = 0x001A,
    kSensitivity = 0x0036,
    kSubject = 0x0037,
    kMessageFlags = 0x0E07,
    kNormalizedSubject = 0x0E1D,
    kBody = 0x1000,
    kIconIndex = 0x1080,
    kDisplayName = 0x3001,
    kStoreSupportMask = 0x340D,
    kGeneration = 0x3A05,
    kGivenName = 0x3A06,
    kBusinessTelephone = 0x3A08,
    kHomeTelephone = 0x3A09,
    kSurname = 0x3A11,
    kCompanyName = 0x3A16,
    kTitle = 0x3A17,
    kDepartmentName = 0x3A18,
    kMobileTelephone = 0x3A1C,
    kBusinessFax = 0x3A24,
    kCountry = 0x3A26,
    kLocality = 0x3A27,
    kStateOrProvince = 0x3A28,
    kStreetAddress = 0x3A29,
    kPostalCode = 0x3A2A,
    kMiddleName = 0x3A44,
    kDisplayNamePrefix = 0x3A45,
    kNickname = 0x3A4F,
    kBusinessHomePage = 0x3A51,
    kHomeCity = 0x3A59,
    kHomeCountry = 0x3A5A,
    kHomePostalCode = 0x3A5B,
    kHomeState = 0x3A5C,
    kHomeStreet = 0x3A5D,
};

// Named properties of the address set.
enum : std::uint32_t {
    kLidFileUnder = 0x8005,
    kLidAddressBookProviderArrayType = 0x8029,
    kLidEmail1DisplayName = 0x8080,  // e-mail 2 and 3 follow at +0x10 and +0x20
    kLidEmail1AddressType = 0x8082,
    kLidEmail1EmailAddress = 0x8083,
    kLidEmail1OriginalDisplayName = 0x8084,
};

constexpr std::uint32_t kPropReadable = 0x2;
constexpr std::uint32_t kPropWritable = 0x4;
constexpr std::uint32_t kStoreUnicodeOk = 0x00040000;
constexpr std::uint32_t kMsgFlagRead = 0x1;
constexpr std::int32_t kIconContact = 0x200;

void put32(Bytes& b, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

Bytes le32(std::uint32_t v)
{
    Bytes b;
    put32(b, v);
    return b;
}

std::u16string streamName(std::uint32_t tag)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "__substg1.0_%08X", tag);
    return std::u16string(buf, buf + std::char_traits<char>::length(buf));
}

bool isVariable(std::uint16_t type) { return type == kPtUnicode || type == kPtBinary; }

}  // namespace

Bytes utf16le(std::string_view s)
{
    Bytes out;
    out.reserve(s.size() * 2);
    const auto unit = [&](std::uint32_t u) {
        out.push_back(static_cast<std::uint8_t>(u));
        out.push_back(static_cast<std::uint8_t>(u >> 8));
    };
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::uint32_t cp = 0xFFFD;
        std::size_t n = 1;
        if (c < 0x80) {
            cp = c;
        } else {
            std::size_t len = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
            if (len && i + len <= s.size()) {
                std::uint32_t v = c & (0x7F >> len);
                bool ok = true;
                for (std::size_t k = 1; k < len && ok; ++k) {
                    const auto cc = static_cast<unsigned char>(s[i + k]);
                    ok = (cc & 0xC0) == 0x80;
                    v = (v << 6) | (cc & 0x3F);
                }
                static constexpr std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
                if (ok && v >= kMin[len] && v <= 0x10FFFF && (v < 0xD800 || v > 0xDFFF)) {
                    cp = v;
                    n = len;
                }
            }
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            unit(0xD800 + (cp >> 10));
            unit(0xDC00 + (cp & 0x3FF));
        } else {
            unit(cp);
        }
        i += n;
    }
    return out;
}

void MessageBuilder::set(std::uint16_t id, Value v)
{
    for (auto& [pid, value] : props_) {
        if (pid == id) {
            value = std::move(v);
            return;
        }
    }
    props_.emplace_back(id, std::move(v));
}

void MessageBuilder::setString(std::uint16_t id, std::string_view utf8) { set(id, {kPtUnicode, utf16le(utf8)}); }
void MessageBuilder::setLong(std::uint16_t id, std::int32_t v) { set(id, {kPtLong, le32(static_cast<std::uint32_t>(v))}); }
void MessageBuilder::setBoolean(std::uint16_t id, bool v) { set(id, {kPtBoolean, Bytes{static_cast<std::uint8_t>(v)}}); }
void MessageBuilder::setBinary(std::uint16_t id, Bytes v) { set(id, {kPtBinary, std::move(v)}); }

void MessageBuilder::setNamedString(const Guid& g, std::uint32_t lid, std::string_view utf8)
{
    for (Named& n : named_) {
        if (n.set == g && n.lid == lid) {
            n.value = {kPtUnicode, utf16le(utf8)};
            return;
        }
    }
    named_.push_back({g, lid, {kPtUnicode, utf16le(utf8)}});
}

void MessageBuilder::setNamedLong(const Guid& g, std::uint32_t lid, std::int32_t v)
{
    for (Named& n : named_) {
        if (n.set == g && n.lid == lid) {
            n.value = {kPtLong, le32(static_cast<std::uint32_t>(v))};
            return;
        }
    }
    named_.push_back({g, lid, {kPtLong, le32(static_cast<std::uint32_t>(v))}});
}

Bytes MessageBuilder::build() const
{
    if (props_.size() + named_.size() > 0x7FFF) throw std::length_error("too many properties");
    cfb::CompoundFile file;
    cfb::Storage& root = file.root();

    // Named properties: GUIDs 1 and 2 are the two built-in sets, ours start at 3.
    std::vector<Guid> guids;
    Bytes entryStream;
    std::map<std::uint32_t, Bytes> mappingStreams;
    std::vector<std::pair<std::uint32_t, Value>> all;  // tag id -> value
    for (auto& [id, v] : props_) all.emplace_back(id, v);
    for (std::size_t index = 0; index < named_.size(); ++index) {
        const Named& n = named_[index];
        auto it = std::find(guids.begin(), guids.end(), n.set);
        if (it == guids.end()) it = guids.insert(guids.end(), n.set);
        const auto guidIndex = static_cast<std::uint32_t>(3 + (it - guids.begin()));
        const std::uint32_t indexAndKind = (static_cast<std::uint32_t>(index) << 16) | (guidIndex << 1);
        put32(entryStream, n.lid);
        put32(entryStream, indexAndKind);
        const std::uint32_t mapId = 0x1000 + ((n.lid ^ (guidIndex << 1)) % 0x1F);
        Bytes& mapping = mappingStreams[mapId];
        put32(mapping, n.lid);
        put32(mapping, indexAndKind);
        all.emplace_back(0x8000 + static_cast<std::uint32_t>(index), n.value);
    }
    cfb::Storage& nameid = root.storage(u"__nameid_version1.0");
    Bytes guidStream;
    for (const Guid& g : guids) guidStream.insert(guidStream.end(), g.begin(), g.end());
    nameid.stream(streamName(0x00020102), std::move(guidStream));
    nameid.stream(streamName(0x00030102), std::move(entryStream));
    nameid.stream(streamName(0x00040102), {});
    for (auto& [mapId, bytes] : mappingStreams) nameid.stream(streamName((mapId << 16) | 0x0102), std::move(bytes));

    // Property stream of a top-level message: 32-byte header, then 16 bytes a property.
    std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    Bytes props(32, 0);  // reserved, next recipient/attachment id, counts: none here
    for (auto& [id, v] : all) {
        const std::uint32_t tag = (id << 16) | v.type;
        put32(props, tag);
        put32(props, kPropReadable | kPropWritable);
        if (isVariable(v.type)) {
            // A string's size counts the terminator its stream leaves out.
            put32(props, static_cast<std::uint32_t>(v.bytes.size() + (v.type == kPtUnicode ? 2 : 0)));
            put32(props, 0);
            root.stream(streamName(tag), v.bytes);
        } else {
            Bytes fixed = v.bytes;
            fixed.resize(8, 0);
            props.insert(props.end(), fixed.begin(), fixed.end());
        }
    }
    root.stream(u"__properties_version1.0", std::move(props));
    return file.serialize();
}

ContactFields contactFieldsFromCard(const vcard::Card& card)
{
    ContactFields f;
    f.displayName = card.formattedName();
    if (const vcard::Property* n = card.find("N")) {
        const auto c = n->components();
        const auto at = [&](std::size_t i) { return i < c.size() ? c[i] : std::string(); };
        f.surname = at(0);
        f.givenName = at(1);
        f.middleName = at(2);
        f.prefix = at(3);
        f.suffix = at(4);
    }
    if (const vcard::Property* org = card.find("ORG")) {
        const auto c = org->components();
        if (!c.empty()) f.company = c[0];
        if (c.size() > 1) f.department = c[1];
    }
    if (const vcard::Property* p = card.find("TITLE")) f.jobTitle = p->text();
    if (const vcard::Property* p = card.find("NICKNAME")) f.nickname = p->text();
    if (const vcard::Property* p = card.find("NOTE")) f.body = p->text();
    if (const vcard::Property* p = card.find("URL")) f.webPage = vcard::unescapeText(p->value);
    f.emails = card.emails();

    for (const vcard::Property* tel : card.findAll("TEL")) {
        std::string* slot = nullptr;
        if (tel->hasType("CELL")) slot = &f.mobilePhone;
        else if (tel->hasType("FAX")) slot = tel->hasType("HOME") ? nullptr : &f.businessFax;
        else if (tel->hasType("HOME")) slot = &f.homePhone;
        else if (tel->hasType("WORK")) slot = &f.businessPhone;
        if (slot && slot->empty()) *slot = tel->text();
    }
    for (const vcard::Property* adr : card.findAll("ADR")) {
        const auto c = adr->components();
        const auto at = [&](std::size_t i) { return i < c.size() ? c[i] : std::string(); };
        const bool home = adr->hasType("HOME");
        const bool work = adr->hasType("WORK");
        std::string street = at(2);
        if (!at(1).empty()) street = street.empty() ? at(1) : street + "\n" + at(1);
        if (home && f.homeStreet.empty() && f.homeCity.empty()) {
            f.homeStreet = street, f.homeCity = at(3), f.homeState = at(4), f.homePostalCode = at(5), f.homeCountry = at(6);
        } else if ((work || !home) && f.workStreet.empty() && f.workCity.empty()) {
            f.workStreet = street, f.workCity = at(3), f.workState = at(4), f.workPostalCode = at(5), f.workCountry = at(6);
        }
    }
    if (!f.surname.empty() && !f.givenName.empty()) f.fileAs = f.surname + ", " + f.givenName;
    else if (!f.displayName.empty()) f.fileAs = f.displayName;
    else f.fileAs = f.company;
    return f;
}

Bytes writeContactMessage(const ContactFields& c)
{
    MessageBuilder m;
    const auto str = [&](std::uint16_t id, const std::string& v) {
        if (!v.empty()) m.setString(id, v);
    };
    m.setString(kMessageClass, "IPM.Contact");
    // A contact's subject is its display name, as the application shows it.
    str(kSubject, c.displayName);
    str(kNormalizedSubject, c.displayName);
    str(kDisplayName, c.displayName);
    str(kGivenName, c.givenName);
    str(kMiddleName, c.middleName);
    str(kSurname, c.surname);
    str(kDisplayNamePrefix, c.prefix);
    str(kGeneration, c.suffix);
    str(kNickname, c.nickname);
    str(kCompanyName, c.company);
    str(kDepartmentName, c.department);
    str(kTitle, c.jobTitle);
    str(kBusinessTelephone, c.businessPhone);
    str(kHomeTelephone, c.homePhone);
    str(kMobileTelephone, c.mobilePhone);
    str(kBusinessFax, c.businessFax);
    str(kHomeStreet, c.homeStreet);
    str(kHomeCity, c.homeCity);
    str(kHomeState, c.homeState);
    str(kHomePostalCode, c.homePostalCode);
    str(kHomeCountry, c.homeCountry);
    str(kStreetAddress, c.workStreet);
    str(kLocality, c.workCity);
    str(kStateOrProvince, c.workState);
    str(kPostalCode, c.workPostalCode);
    str(kCountry, c.workCountry);
    str(kBusinessHomePage, c.webPage);
    str(kBody, c.body);
    m.setLong(kMessageFlags, kMsgFlagRead);
    m.setLong(kImportance, 1);
    m.setLong(kSensitivity, 0);
    m.setLong(kIconIndex, kIconContact);
    m.setLong(kStoreSupportMask, static_cast<std::int32_t>(kStoreUnicodeOk));

    if (!c.fileAs.empty()) m.setNamedString(kPsetidAddress, kLidFileUnder, c.fileAs);
    std::int32_t providers = 0;
    for (std::size_t i = 0; i < c.emails.size() && i < 3; ++i) {
        if (c.emails[i].empty()) continue;
        const auto step = static_cast<std::uint32_t>(0x10 * i);
        const std::string display =
            c.displayName.empty() ? c.emails[i] : c.displayName + " (" + c.emails[i] + ")";
        m.setNamedString(kPsetidAddress, kLidEmail1DisplayName + step, display);
        m.setNamedString(kPsetidAddress, kLidEmail1AddressType + step, "SMTP");
        m.setNamedString(kPsetidAddress, kLidEmail1EmailAddress + step, c.emails[i]);
        m.setNamedString(kPsetidAddress, kLidEmail1OriginalDisplayName + step, c.emails[i]);
        providers |= 1 << i;
    }
    if (providers) m.setNamedLong(kPsetidAddress, kLidAddressBookProviderArrayType, providers);
    return m.build();
}

}  // namespace pim::msg
