#include "webdav.h"

#include "http.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace pim::dav {
namespace {

constexpr const char* kDav = "DAV:";
constexpr const char* kCalDav = "urn:ietf:params:xml:ns:caldav";
constexpr const char* kCardDav = "urn:ietf:params:xml:ns:carddav";
constexpr const char* kCalServer = "http://calendarserver.org/ns/";

struct DocFree {
    void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};

bool is(const xmlNode* n, const char* ns, const char* name) {
    return n && n->type == XML_ELEMENT_NODE && n->ns && n->ns->href &&
           std::strcmp(reinterpret_cast<const char*>(n->ns->href), ns) == 0 &&
           std::strcmp(reinterpret_cast<const char*>(n->name), name) == 0;
}

std::string textOf(const xmlNode* n) {
    xmlChar* t = xmlNodeGetContent(n);
    std::string s = t ? reinterpret_cast<const char*>(t) : "";
    xmlFree(t);
    return s;
}

std::string trim(std::string s) {
    auto notSpace = [](unsigned char c) { return !std::isspace(c); };
    s.erase(s.begin(), std::find_if(s.begin(), s.end(), notSpace));
    s.erase(std::find_if(s.rbegin(), s.rend(), notSpace).base(), s.end());
    return s;
}

int statusCode(const std::string& line) {
    // "HTTP/1.1 404 Not Found"
    auto sp = line.find(' ');
    if (sp == std::string::npos) return 0;
    return std::atoi(line.c_str() + sp + 1);
}

std::unique_ptr<xmlDoc, DocFree> readXml(const std::string& body) {
    xmlDoc* d = xmlReadMemory(body.data(), static_cast<int>(body.size()), "dav.xml", nullptr,
                              XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_HUGE);
    return std::unique_ptr<xmlDoc, DocFree>(d);
}

void readProps(const xmlNode* prop, Member& m, Multistatus& out) {
    for (const xmlNode* p = prop->children; p; p = p->next) {
        if (is(p, kDav, "getetag")) m.etag = trim(textOf(p));
        else if (is(p, kCalDav, "calendar-data") || is(p, kCardDav, "address-data")) m.data = textOf(p);
        else if (is(p, kCalServer, "getctag")) out.ctag = trim(textOf(p));
        else if (is(p, kDav, "sync-token")) out.syncToken = trim(textOf(p));
        else if (is(p, kDav, "resourcetype")) {
            for (const xmlNode* t = p->children; t; t = t->next) {
                if (is(t, kDav, "collection")) m.collection = true;
                else if (is(t, kCalDav, "calendar")) m.calendar = true;
                else if (is(t, kCardDav, "addressbook")) m.addressBook = true;
            }
        }
    }
}

}  // namespace

Multistatus parseMultistatus(const std::string& body) {
    auto doc = readXml(body);
    xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
    if (!is(root, kDav, "multistatus")) throw DavError(Failure::Protocol, "the server's answer is not a WebDAV multistatus");
    Multistatus out;
    for (xmlNode* r = root->children; r; r = r->next) {
        if (is(r, kDav, "sync-token")) {
            out.syncToken = trim(textOf(r));
            continue;
        }
        if (!is(r, kDav, "response")) continue;
        Member m;
        for (xmlNode* c = r->children; c; c = c->next) {
            if (is(c, kDav, "href")) {
                m.href = decodePath(urlPath(trim(textOf(c))));
            } else if (is(c, kDav, "status")) {
                m.status = statusCode(trim(textOf(c)));
            } else if (is(c, kDav, "propstat")) {
                int st = 0;
                const xmlNode* prop = nullptr;
                for (xmlNode* p = c->children; p; p = p->next) {
                    if (is(p, kDav, "status")) st = statusCode(trim(textOf(p)));
                    else if (is(p, kDav, "prop")) prop = p;
                }
                if (st / 100 == 2 && prop) {
                    readProps(prop, m, out);
                    if (m.status == 0) m.status = st;
                }
            }
        }
        if (m.status == 0) m.status = 200;
        if (!m.href.empty()) out.members.push_back(std::move(m));
    }
    return out;
}

bool isInvalidSyncToken(const std::string& body) {
    auto doc = readXml(body);
    xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
    if (!is(root, kDav, "error")) return false;
    for (xmlNode* c = root->children; c; c = c->next)
        if (is(c, kDav, "valid-sync-token")) return true;
    return false;
}

std::string xmlEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string encodePath(const std::string& path) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if (std::isalnum(c) || std::strchr("/-._~@:+", c)) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(digits[c >> 4]);
            out.push_back(digits[c & 15]);
        }
    }
    return out;
}

std::string syncCollectionRequest(const std::string& token) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<D:sync-collection xmlns:D=\"DAV:\"><D:sync-token>" +
           xmlEscape(token) +
           "</D:sync-token><D:sync-level>1</D:sync-level><D:prop><D:getetag/></D:prop></D:sync-collection>";
}

std::string propfindCollectionRequest() {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<D:propfind xmlns:D=\"DAV:\" xmlns:CS=\"http://calendarserver.org/ns/\"><D:prop>"
           "<D:resourcetype/><CS:getctag/><D:sync-token/></D:prop></D:propfind>";
}

std::string propfindEtagsRequest() {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<D:propfind xmlns:D=\"DAV:\"><D:prop><D:resourcetype/><D:getetag/></D:prop></D:propfind>";
}

std::string multigetRequest(CollectionKind kind, const std::vector<std::string>& hrefs) {
    bool cal = kind == CollectionKind::Calendar;
    std::string out = std::string("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n") +
                      (cal ? "<C:calendar-multiget xmlns:D=\"DAV:\" xmlns:C=\"urn:ietf:params:xml:ns:caldav\">"
                           : "<C:addressbook-multiget xmlns:D=\"DAV:\" xmlns:C=\"urn:ietf:params:xml:ns:carddav\">") +
                      "<D:prop><D:getetag/>" + (cal ? "<C:calendar-data/>" : "<C:address-data/>") + "</D:prop>";
    for (const std::string& h : hrefs) out += "<D:href>" + xmlEscape(encodePath(h)) + "</D:href>";
    out += cal ? "</C:calendar-multiget>" : "</C:addressbook-multiget>";
    return out;
}

std::string mkcolAddressBookRequest() {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<D:mkcol xmlns:D=\"DAV:\" xmlns:C=\"urn:ietf:params:xml:ns:carddav\"><D:set><D:prop>"
           "<D:resourcetype><D:collection/><C:addressbook/></D:resourcetype></D:prop></D:set></D:mkcol>";
}

}  // namespace pim::dav
