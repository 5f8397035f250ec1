// Helpers for the file-format tests: temporary folders and outside readers.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

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

// The outside readers our files are checked with. Each probe runs the reader itself (on a known-good
// input where it takes one), so a reader that is installed but cannot run, say for a missing Perl
// module, fails the test with its own message instead of passing or skipping it.
inline ::testing::AssertionResult readerRuns(const char* reader, const char* packages, const std::string& probe)
{
    const CommandResult r = runCommand(probe);
    if (r.status == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << reader << " cannot run; install " << packages
                                         << " (scripts/bootstrap.sh does). It said: " << r.out;
}

inline ::testing::AssertionResult olefileRuns()
{
    return readerRuns("python3 with olefile", "python3-olefile",
                      "/usr/bin/python3 -c 'import olefile, sys; "
                      "sys.exit(0 if olefile.isOleFile(bytes.fromhex(\"d0cf11e0a1b11ae1\") + bytes(1528)) else 1)'");
}

inline ::testing::AssertionResult perlVcardRuns()
{
    return readerRuns("Perl Text::vCard", "libtext-vcard-perl",
                      "/usr/bin/perl -MText::vCard::Addressbook -e '"
                      "my @v = Text::vCard::Addressbook->new({source_text => "
                      "qq(BEGIN:VCARD\\r\\nVERSION:3.0\\r\\nFN:A B\\r\\nEND:VCARD\\r\\n)})->vcards;"
                      "exit(@v == 1 && $v[0]->fullname eq q(A B) ? 0 : 1)'");
}

inline ::testing::AssertionResult gsfRuns() { return readerRuns("gsf", "libgsf-bin", "/usr/bin/gsf --version"); }

// perl -c loads every module the script uses (msgconvert needs Email::Address, which its package only
// recommends) without converting anything.
inline ::testing::AssertionResult msgconvertRuns()
{
    return readerRuns("msgconvert", "libemail-outlook-message-perl and libemail-address-perl",
                      "test -x /usr/bin/msgconvert && /usr/bin/perl -c /usr/bin/msgconvert");
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
