// Helpers shared by the PIM server's tests: strings and values across COM, and the outside readers
// our files are checked with (temporary folders and environment come from tests/support/Scratch.h).
#pragma once

#include <gtest/gtest.h>
#include <oleauto.h>
#include <windows.h>

#include <ComPtr.h>

#include "../support/ComTest.h"
#include "../support/Scratch.h"
#include "../support/SqliteFile.h"

#include <cstring>
#include <string>

namespace pimtest {

// Each probe runs the reader itself (on a known-good input where it takes one), so a reader that is
// installed but cannot run, say for a missing Perl module, fails the test with its own message
// instead of passing or skipping it.
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

// Runs a script given as text (`interpreter` ends in -c or -e) on `file`; fails the test when the reader does.
inline std::string readWith(const char* interpreter, const std::string& script, const std::filesystem::path& file)
{
    const CommandResult r = runCommand(std::string(interpreter) + " " + shellQuote(script) + " " + shellQuote(file.string()));
    EXPECT_EQ(r.status, 0) << r.out;
    return r.out;
}

inline std::size_t filesIn(const std::filesystem::path& d)
{
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(d)) ++n;
    return n;
}

}  // namespace pimtest

namespace pim::redemption {  // the server's own conversions, in every test program of this folder
std::string toUtf8(const std::u16string& s);
std::u16string toUtf16(const std::string& s);
}  // namespace pim::redemption

namespace pimtest {

inline std::u16string utf16(const std::string& s) { return pim::redemption::toUtf16(s); }
inline std::string utf8(const std::u16string& w) { return pim::redemption::toUtf8(w); }

// A BSTR the test owns. out() poisons it: a getter that succeeds without writing shows as a failure.
class Bstr {
public:
    Bstr() = default;
    explicit Bstr(const char16_t* s) : b(SysAllocString(s)) {}
    explicit Bstr(const std::u16string& s) : b(SysAllocStringLen(s.data(), static_cast<UINT>(s.size()))) {}
    explicit Bstr(const std::string& s) : Bstr(utf16(s)) {}
    explicit Bstr(const char* s) : Bstr(std::string(s)) {}
    ~Bstr() { reset(); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR* out()
    {
        reset();
        b = poison();
        return &b;
    }
    // After a call that failed, as it should, and left the poison in place.
    void reset()
    {
        if (b != poison()) SysFreeString(b);
        b = nullptr;
    }
    std::u16string u16() const
    {
        if (b == poison()) ADD_FAILURE() << "the callee left its out parameter unwritten";
        return b && b != poison() ? std::u16string(b, SysStringLen(b)) : std::u16string();
    }
    std::string str() const { return utf8(u16()); }
    BSTR b = nullptr;

private:
    static BSTR poison() { return static_cast<BSTR>(Poison()); }
};

// Reads a property through its getter, which must succeed and write it (the value starts poisoned).
template <class I, class T>
T get(I* obj, HRESULT (STDMETHODCALLTYPE I::*getter)(T*))
{
    T v;
    std::memset(static_cast<void*>(&v), 0xA5, sizeof v);
    EXPECT_EQ((obj->*getter)(&v), S_OK);
    return v;
}
template <class I>
std::string text(I* obj, HRESULT (STDMETHODCALLTYPE I::*getter)(BSTR*))
{
    Bstr s;
    EXPECT_EQ((obj->*getter)(s.out()), S_OK);
    return s.str();
}
template <class I>
std::u16string text16(I* obj, HRESULT (STDMETHODCALLTYPE I::*getter)(BSTR*))
{
    Bstr s;
    EXPECT_EQ((obj->*getter)(s.out()), S_OK);
    return s.u16();
}

// The interface `iid` of `p`, which must answer it.
template <class T>
ComPtr<T> query(IUnknown* p, REFIID iid)
{
    ComPtr<T> q;
    if (!p) {
        ADD_FAILURE() << "no object to ask for an interface";
    } else {
        EXPECT_EQ(p->QueryInterface(iid, q.put_void()), S_OK);
    }
    return q;
}

inline VARIANT i4(LONG v)
{
    VARIANT var;
    VariantInit(&var);
    var.vt = VT_I4;
    var.lVal = v;
    return var;
}

inline VARIANT missing()
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ERROR;
    v.scode = DISP_E_PARAMNOTFOUND;
    return v;
}

inline VARIANT boolean(bool b)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BOOL;
    v.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
}

// A string value in the registry PIM_REGISTRY names.
inline void setRegistry(HKEY root, const char* key, const char* name, const std::u16string& value)
{
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExA(root, key, 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(k, utf16(name ? name : "").c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>((value.size() + 1) * 2)),
              ERROR_SUCCESS);
    RegCloseKey(k);
}

// The default value of a key under HKEY_CLASSES_ROOT, or "<no key>" / "<no value>".
inline std::u16string classesDefault(const std::u16string& key)
{
    HKEY k = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return u"<no key>";
    char16_t buf[512] = {};
    DWORD size = sizeof buf, type = 0;
    const LSTATUS s = RegQueryValueExW(k, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
    RegCloseKey(k);
    return s == ERROR_SUCCESS ? std::u16string(buf) : u"<no value>";
}

}  // namespace pimtest
