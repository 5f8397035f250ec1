// A small HTTP client over libcurl for the DAV store: one connection reused for
// a whole sync, basic authentication, bounded waits.
#pragma once

#include <map>
#include <memory>
#include <stdexcept>
#include <string>

namespace pim::dav {

enum class Failure {
    Network,   // the server cannot be reached or went away
    Auth,      // the server refused the user name or password
    Http,      // an unexpected HTTP status
    Protocol,  // an answer that cannot be read
    Config,    // the profile or the password is not usable
    Local,     // the local cache failed
};

class DavError : public std::runtime_error {
public:
    DavError(Failure kind, const std::string& what, long status = 0)
        : std::runtime_error(what), kind_(kind), status_(status) {}
    Failure kind() const noexcept { return kind_; }
    long status() const noexcept { return status_; }

private:
    Failure kind_;
    long status_;
};

struct Response {
    long status = 0;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
    std::string header(const std::string& lowerName) const {
        auto it = headers.find(lowerName);
        return it == headers.end() ? std::string() : it->second;
    }
};

struct Credentials {
    std::string user, password;
};

class HttpClient {
public:
    explicit HttpClient(Credentials credentials);
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    /// Sends one request. Throws DavError(Network) when no answer came, and
    /// DavError(Auth) on 401; every other status is returned.
    Response request(const std::string& method, const std::string& url, const std::map<std::string, std::string>& headers,
                     const std::string& body = {});

    /// Seconds to wait for a connection, and for an answer that stalls (default 10 and 300:
    /// a server may think for minutes before it lists a large collection).
    void setTimeouts(long connectSeconds, long stallSeconds);
    /// Requests sent so far.
    unsigned long requests() const { return requests_; }

private:
    void* curl_;
    Credentials credentials_;
    long connectTimeout_ = 10, stallTimeout_ = 300;
    unsigned long requests_ = 0;
};

/// `ref` resolved against the absolute URL `base` (an absolute URL, an absolute
/// path or a relative path).
std::string resolveUrl(const std::string& base, const std::string& ref);
/// The path of an absolute URL ("/user/cal/" of "http://h:1/user/cal/").
std::string urlPath(const std::string& url);
/// Percent-decodes a path, so that hrefs spelled differently compare equal.
std::string decodePath(const std::string& path);

}  // namespace pim::dav
