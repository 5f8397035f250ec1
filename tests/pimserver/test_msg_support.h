// Helpers for the file-format tests: temporary folders and outside readers.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace pimtest {

struct CommandResult {
    int status = -1;
    std::string out;  // standard output and standard error together
};

inline CommandResult runCommand(const std::string& command)
{
    CommandResult r;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (!p) return r;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    const int st = ::pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

inline bool haveExecutable(const char* path) { return ::access(path, X_OK) == 0; }

inline bool havePythonOlefile()
{
    return haveExecutable("/usr/bin/python3") && runCommand("/usr/bin/python3 -c 'import olefile'").status == 0;
}

inline bool havePerlVcard()
{
    return haveExecutable("/usr/bin/perl") && runCommand("/usr/bin/perl -MText::vCard::Addressbook -e 1").status == 0;
}

inline std::string shellQuote(const std::string& s)
{
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') q += "'\\''";
        else q += c;
    }
    return q + "'";
}

class TempDir {
public:
    TempDir()
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "pimfmt-XXXXXX").string();
        if (::mkdtemp(tmpl.data())) path_ = tmpl;
    }
    ~TempDir()
    {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

inline void writeFile(const std::filesystem::path& p, const void* data, std::size_t size)
{
    std::ofstream f(p, std::ios::binary);
    f.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

inline void writeFile(const std::filesystem::path& p, const std::string& text) { writeFile(p, text.data(), text.size()); }

inline std::string readFile(const std::filesystem::path& p)
{
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

}  // namespace pimtest
