// WebDAV, CalDAV and CardDAV bodies: the requests the sync sends and the
// multistatus answers it reads (libxml2).
#pragma once

#include <string>
#include <vector>

namespace pim::dav {

/// One <response> of a multistatus.
struct Member {
    std::string href;     // percent-decoded path
    int status = 0;       // the response's or its first propstat's status
    std::string etag;     // getetag, quotes kept
    std::string data;     // calendar-data or address-data
    bool collection = false;
    bool calendar = false;     // resourcetype names a CalDAV calendar
    bool addressBook = false;  // resourcetype names a CardDAV address book
};

struct Multistatus {
    std::vector<Member> members;
    std::string syncToken;  // sync-collection: the new token
    std::string ctag;       // PROPFIND depth 0: getctag
};

/// Reads a 207 body. Throws DavError(Protocol) when it is not a multistatus.
Multistatus parseMultistatus(const std::string& body);
/// True when an error body names DAV:valid-sync-token (the token was refused).
bool isInvalidSyncToken(const std::string& body);

enum class CollectionKind { Calendar, AddressBook };

std::string syncCollectionRequest(const std::string& token);
std::string propfindCollectionRequest();
std::string propfindEtagsRequest();
std::string multigetRequest(CollectionKind kind, const std::vector<std::string>& hrefs);
std::string mkcolAddressBookRequest();

/// Escapes text for an XML element.
std::string xmlEscape(const std::string& text);
/// Percent-encodes a path for a URL (keeps '/').
std::string encodePath(const std::string& path);

}  // namespace pim::dav
