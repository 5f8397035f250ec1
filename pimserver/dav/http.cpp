#include "http.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <mutex>

namespace pim::dav {
namespace {

std::once_flag g_curlInit;

size_t onBody(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto* headers = static_cast<std::map<std::string, std::string>*>(user);
    std::string line(data, size * count);
    // A new status line (after a redirect or 100 Continue) starts a new set.
    if (line.rfind("HTTP/", 0) == 0) headers->clear();
    auto colon = line.find(':');
    if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        std::string value = line.substr(colon + 1);
        auto notSpace = [](unsigned char c) { return !std::isspace(c); };
        value.erase(value.begin(), std::find_if(value.begin(), value.end(), notSpace));
        value.erase(std::find_if(value.rbegin(), value.rend(), notSpace).base(), value.end());
        (*headers)[name] = value;
    }
    return size * count;
}

std::string hostOf(const std::string& url) {
    auto scheme = url.find("://");
    if (scheme == std::string::npos) return url;
    auto end = url.find('/', scheme + 3);
    return url.substr(0, end);
}

}  // namespace

HttpClient::HttpClient(Credentials credentials) : credentials_(std::move(credentials)) {
    std::call_once(g_curlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    curl_ = curl_easy_init();
    if (!curl_) throw DavError(Failure::Local, "cannot start the HTTP client");
}

HttpClient::~HttpClient() { curl_easy_cleanup(static_cast<CURL*>(curl_)); }

void HttpClient::setTimeouts(long connectSeconds, long stallSeconds) {
    connectTimeout_ = connectSeconds;
    stallTimeout_ = stallSeconds;
}

Response HttpClient::request(const std::string& method, const std::string& url,
                             const std::map<std::string, std::string>& headers, const std::string& body) {
    CURL* c = static_cast<CURL*>(curl_);
    curl_easy_reset(c);
    Response r;
    curl_slist* list = nullptr;
    for (const auto& [name, value] : headers) list = curl_slist_append(list, (name + ": " + value).c_str());
    // No "Expect: 100-continue" round trip for bodies.
    list = curl_slist_append(list, "Expect:");
    char error[CURL_ERROR_SIZE] = {0};
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method.c_str());
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, connectTimeout_);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, stallTimeout_);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &r.body);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &r.headers);
    if (!credentials_.user.empty()) {
        curl_easy_setopt(c, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
        curl_easy_setopt(c, CURLOPT_USERNAME, credentials_.user.c_str());
        curl_easy_setopt(c, CURLOPT_PASSWORD, credentials_.password.c_str());
    }
    if (method == "HEAD") curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
    if (!body.empty() || method == "PUT" || method == "REPORT" || method == "PROPFIND") {
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    }
    ++requests_;
    CURLcode rc = curl_easy_perform(c);
    curl_slist_free_all(list);
    if (rc != CURLE_OK) {
        std::string why = error[0] ? error : curl_easy_strerror(rc);
        throw DavError(Failure::Network, "cannot reach " + hostOf(url) + ": " + why);
    }
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
    if (r.status == 401)
        throw DavError(Failure::Auth,
                       hostOf(url) + " refused the user name or password" +
                           (credentials_.user.empty() ? std::string(" (no user name is set)") : " of " + credentials_.user),
                       401);
    return r;
}

std::string urlPath(const std::string& url) {
    auto scheme = url.find("://");
    if (scheme == std::string::npos) return url;
    auto slash = url.find('/', scheme + 3);
    return slash == std::string::npos ? "/" : url.substr(slash);
}

std::string decodePath(const std::string& path) {
    std::string out;
    out.reserve(path.size());
    for (size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '%' && i + 2 < path.size() && std::isxdigit(static_cast<unsigned char>(path[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(path[i + 2]))) {
            out.push_back(static_cast<char>(std::stoi(path.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(path[i]);
        }
    }
    return out;
}

}  // namespace pim::dav
