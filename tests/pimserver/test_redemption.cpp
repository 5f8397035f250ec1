// The safe-item classes: recipients, current user, contact export, class objects
// and registration. Items are reached through fake links here; the server's own
// items are linked in test_redemption_server.cpp.
#include "redemption_module.h"
#include "test_msg_support.h"

#include <ComPtr.h>
#include <objbase.h>
#include <oleauto.h>
#include <pim/fault.h>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/stat.h>

#include <map>

using namespace pim::redemption;

namespace {

ULONG refCount(IUnknown* p)
{
    p->AddRef();
    return p->Release();
}
#define EXPECT_REF(obj, n) EXPECT_EQ(refCount(obj), static_cast<ULONG>(n))

struct Bstr {
    BSTR b = nullptr;
    Bstr() = default;
    explicit Bstr(const char16_t* s) : b(SysAllocString(s)) {}
    ~Bstr() { SysFreeString(b); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR* out()
    {
        SysFreeString(b);
        b = reinterpret_cast<BSTR>(0xdeadbeef);  // poisoned: the callee must write it
        return &b;
    }
    std::u16string str() const { return b ? std::u16string(b, SysStringLen(b)) : std::u16string(); }
};

class FakeAppointment final : public AppointmentLink {
public:
    std::vector<RecipientRecord> stored;
    std::map<std::u16string, std::u16string> directory;  // name or e-mail -> address
    HRESULT refuseWith = S_OK;
    int writes = 0;

    std::vector<RecipientRecord> recipients() override { return stored; }
    HRESULT setRecipients(const std::vector<RecipientRecord>& r) override
    {
        if (FAILED(refuseWith)) return refuseWith;
        ++writes;
        stored = r;
        return S_OK;
    }
    std::optional<std::u16string> resolve(const std::u16string& text) override
    {
        auto it = directory.find(text);
        if (it == directory.end()) return std::nullopt;
        return it->second;
    }
};

class FakeContact final : public ContactLink {
public:
    std::string text;
    HRESULT vcard(std::string* out) override
    {
        *out = text;
        return S_OK;
    }
};

// Hands out the fakes for items it was told about; refuses anything else.
class FakeLinker final : public ItemLinker {
public:
    std::map<IDispatch*, std::shared_ptr<AppointmentLink>> appointments;
    std::map<IDispatch*, std::shared_ptr<ContactLink>> contacts;
    HRESULT linkAppointment(IDispatch* item, std::shared_ptr<AppointmentLink>* link) override
    {
        auto it = appointments.find(item);
        if (it == appointments.end()) return E_NOINTERFACE;
        *link = it->second;
        return S_OK;
    }
    HRESULT linkContact(IDispatch* item, std::shared_ptr<ContactLink>* link) override
    {
        auto it = contacts.find(item);
        if (it == contacts.end()) return E_NOINTERFACE;
        *link = it->second;
        return S_OK;
    }
};

// Any distinct IDispatch pointer will do as an item handle for the fake linker.
class DummyItem final : public IDispatch {
public:
    STDMETHODIMP QueryInterface(REFIID, void** ppv) override
    {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return E_NOTIMPL;
    }
    ULONG refs = 1;
};

VARIANT i4(LONG v)
{
    VARIANT var;
    VariantInit(&var);
    var.vt = VT_I4;
    var.lVal = v;
    return var;
}

class SafeItems : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(liveObjects(), 0) << "a safe-item object was not released"; }
};

class Recipients : public SafeItems {
protected:
    void SetUp() override
    {
        fake_ = std::make_shared<FakeAppointment>();
        fake_->stored = {{u"Alice", u"alice@example.com", 1}, {u"Bob", u"", 2}};
        linker_.appointments[&item_] = fake_;
        ASSERT_EQ(createSafeAppointmentItem(linker_, IID_ISafeAppointmentItem, safe_.put_void()), S_OK);
        ASSERT_EQ(safe_->put_Item(&item_), S_OK);
        ASSERT_EQ(safe_->get_Recipients(recipients_.put()), S_OK);
    }
    void TearDown() override
    {
        recipients_.reset();
        safe_.reset();
        EXPECT_EQ(item_.refs, 1u) << "the wrapped item was not released exactly once";
        SafeItems::TearDown();
    }
    LONG count()
    {
        LONG n = -1;
        EXPECT_EQ(recipients_->get_Count(&n), S_OK);
        return n;
    }
    DummyItem item_;
    FakeLinker linker_;
    std::shared_ptr<FakeAppointment> fake_;
    ComPtr<ISafeAppointmentItem> safe_;
    ComPtr<ISafeRecipients> recipients_;
};

}  // namespace

TEST_F(Recipients, ItemIsOneBasedAndOutOfRangeFails)
{
    EXPECT_EQ(count(), 2);
    ComPtr<ISafeRecipient> r;
    ASSERT_EQ(recipients_->Item(2, r.put()), S_OK);
    Bstr name, address;
    LONG type = 0;
    EXPECT_EQ(r->get_Name(name.out()), S_OK);
    EXPECT_EQ(name.str(), u"Bob");
    EXPECT_EQ(r->get_Address(address.out()), S_OK);
    EXPECT_EQ(address.str(), u"");
    EXPECT_EQ(r->get_Type(&type), S_OK);
    EXPECT_EQ(type, 2);
    EXPECT_REF(r.get(), 1);

    for (LONG bad : {0, 3, -1, 0x7FFFFFFF}) {
        ISafeRecipient* out = reinterpret_cast<ISafeRecipient*>(0xdeadbeef);
        EXPECT_LT(recipients_->Item(bad, &out), 0) << bad;
        EXPECT_EQ(out, nullptr) << bad;
    }
    EXPECT_LT(recipients_->Remove(0), 0);
    EXPECT_LT(recipients_->Remove(3), 0);
    EXPECT_EQ(fake_->writes, 0);
}

TEST_F(Recipients, AddRemoveAndEditReachTheAppointment)
{
    ComPtr<ISafeRecipient> carol;
    Bstr name(u"Carol");
    ASSERT_EQ(recipients_->Add(name.b, carol.put()), S_OK);
    ASSERT_TRUE(carol);
    LONG type = 0;
    EXPECT_EQ(carol->get_Type(&type), S_OK);
    EXPECT_EQ(type, 1) << "a new recipient is required";
    EXPECT_EQ(count(), 3);
    ASSERT_EQ(fake_->stored.size(), 3u);
    EXPECT_EQ(fake_->stored[2].name, u"Carol");

    // Any 32-bit value is kept as the type.
    for (LONG t : {0, 3, -7, static_cast<LONG>(0x80000000), 0x7FFFFFFF}) {
        EXPECT_EQ(carol->put_Type(t), S_OK);
        EXPECT_EQ(carol->get_Type(&type), S_OK);
        EXPECT_EQ(type, t);
        EXPECT_EQ(fake_->stored[2].type, t);
    }
    Bstr addr(u"carol@example.org");
    EXPECT_EQ(carol->put_Address(addr.b), S_OK);
    EXPECT_EQ(fake_->stored[2].address, u"carol@example.org");

    EXPECT_EQ(recipients_->Remove(1), S_OK);
    EXPECT_EQ(count(), 2);
    ASSERT_EQ(fake_->stored.size(), 2u);
    EXPECT_EQ(fake_->stored[0].name, u"Bob");
    // The recipient object still answers after others were removed.
    Bstr again;
    EXPECT_EQ(carol->get_Name(again.out()), S_OK);
    EXPECT_EQ(again.str(), u"Carol");
}

TEST_F(Recipients, AddWithEmptyOrNullNameGivesNullWithSuccess)
{
    ISafeRecipient* out = reinterpret_cast<ISafeRecipient*>(0xdeadbeef);
    EXPECT_EQ(recipients_->Add(nullptr, &out), S_OK);
    EXPECT_EQ(out, nullptr);
    Bstr empty(u"");
    out = reinterpret_cast<ISafeRecipient*>(0xdeadbeef);
    EXPECT_EQ(recipients_->Add(empty.b, &out), S_OK);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(count(), 2);
    EXPECT_EQ(fake_->writes, 0);
}

TEST_F(Recipients, ResolveFillsTheAddressOnlyWhenFound)
{
    fake_->directory[u"Bob"] = u"bob@example.net";
    ComPtr<ISafeRecipient> bob, alice;
    ASSERT_EQ(recipients_->Item(2, bob.put()), S_OK);
    ASSERT_EQ(recipients_->Item(1, alice.put()), S_OK);
    VARIANT_BOOL ok = 0x1234;
    EXPECT_EQ(bob->Resolve(VARIANT_FALSE, &ok), S_OK);
    EXPECT_EQ(ok, VARIANT_TRUE);
    Bstr address;
    EXPECT_EQ(bob->get_Address(address.out()), S_OK);
    EXPECT_EQ(address.str(), u"bob@example.net");
    EXPECT_EQ(fake_->stored[1].address, u"bob@example.net");

    ok = 0x1234;
    EXPECT_EQ(alice->Resolve(VARIANT_FALSE, &ok), S_OK);
    EXPECT_EQ(ok, VARIANT_FALSE);
    EXPECT_EQ(fake_->stored[0].address, u"alice@example.com") << "an unresolved name keeps its address";
}

TEST_F(Recipients, RefusedChangesAreUndone)
{
    fake_->refuseWith = E_ACCESSDENIED;
    ComPtr<ISafeRecipient> r;
    Bstr name(u"Dave");
    EXPECT_EQ(recipients_->Add(name.b, r.put()), E_ACCESSDENIED);
    EXPECT_FALSE(r);
    EXPECT_EQ(count(), 2);
    EXPECT_EQ(recipients_->Remove(1), E_ACCESSDENIED);
    EXPECT_EQ(count(), 2);
    ASSERT_EQ(recipients_->Item(1, r.put()), S_OK);
    EXPECT_EQ(r->put_Type(3), E_ACCESSDENIED);
    LONG type = 0;
    EXPECT_EQ(r->get_Type(&type), S_OK);
    EXPECT_EQ(type, 1);
}

TEST_F(Recipients, EveryOperationIsAFaultPoint)
{
    pim::fault::Scope faults;
    ComPtr<ISafeRecipient> r;
    pim::fault::arm("ISafeRecipients::Item", E_OUTOFMEMORY);
    EXPECT_EQ(recipients_->Item(1, r.put()), E_OUTOFMEMORY);
    ASSERT_EQ(recipients_->Item(1, r.put()), S_OK);
    EXPECT_EQ(pim::fault::count("ISafeRecipients::Item"), 2u);

    pim::fault::arm("ISafeRecipient::Resolve", E_FAIL);
    VARIANT_BOOL ok;
    EXPECT_EQ(r->Resolve(VARIANT_FALSE, &ok), E_FAIL);
    pim::fault::arm("ISafeAppointmentItem::get_Recipients", E_ABORT);
    ComPtr<ISafeRecipients> again;
    EXPECT_EQ(safe_->get_Recipients(again.put()), E_ABORT);
    EXPECT_FALSE(again);

    const char* points[] = {"ISafeRecipients::get_Count", "ISafeRecipients::Add", "ISafeRecipients::Remove",
                            "ISafeRecipient::get_Name", "ISafeRecipient::put_Name", "ISafeRecipient::get_Address",
                            "ISafeRecipient::put_Address", "ISafeRecipient::get_Type", "ISafeRecipient::put_Type"};
    for (const char* p : points) pim::fault::arm(p, E_UNEXPECTED);
    LONG n;
    Bstr b, name(u"x");
    ComPtr<ISafeRecipient> added;
    EXPECT_EQ(recipients_->get_Count(&n), E_UNEXPECTED);
    EXPECT_EQ(recipients_->Add(name.b, added.put()), E_UNEXPECTED);
    EXPECT_EQ(recipients_->Remove(1), E_UNEXPECTED);
    EXPECT_EQ(r->get_Name(b.out()), E_UNEXPECTED);
    b.b = nullptr;
    EXPECT_EQ(r->put_Name(name.b), E_UNEXPECTED);
    EXPECT_EQ(r->get_Address(b.out()), E_UNEXPECTED);
    b.b = nullptr;
    EXPECT_EQ(r->put_Address(name.b), E_UNEXPECTED);
    EXPECT_EQ(r->get_Type(&n), E_UNEXPECTED);
    EXPECT_EQ(r->put_Type(2), E_UNEXPECTED);
    for (const char* p : points) EXPECT_EQ(pim::fault::count(p), 1u) << p;
    EXPECT_EQ(fake_->stored.size(), 2u);
}

TEST_F(SafeItems, AppointmentItemTakesOnlyItsOwnKindOfItem)
{
    FakeLinker linker;
    DummyItem stranger, appointment;
    linker.appointments[&appointment] = std::make_shared<FakeAppointment>();
    ComPtr<ISafeAppointmentItem> safe;
    ASSERT_EQ(createSafeAppointmentItem(linker, IID_ISafeAppointmentItem, safe.put_void()), S_OK);
    ComPtr<ISafeRecipients> r;
    EXPECT_EQ(safe->get_Recipients(r.put()), E_UNEXPECTED) << "no item wrapped yet";
    EXPECT_LT(safe->put_Item(&stranger), 0);
    EXPECT_EQ(safe->put_Item(nullptr), E_INVALIDARG);
    EXPECT_EQ(stranger.refs, 1u);
    EXPECT_EQ(safe->put_Item(&appointment), S_OK);
    EXPECT_EQ(appointment.refs, 2u);
    ComPtr<IDispatch> back;
    EXPECT_EQ(safe->get_Item(back.put()), S_OK);
    EXPECT_EQ(back.get(), &appointment);
    back.reset();

    // Identity and the interfaces answered.
    ComPtr<IUnknown> unk;
    EXPECT_EQ(safe->QueryInterface(IID_IUnknown, unk.put_void()), S_OK);
    ComPtr<IUnknown> other;
    EXPECT_EQ(safe->QueryInterface(IID_ISafeContactItem, other.put_void()), E_NOINTERFACE);
    EXPECT_FALSE(other);
    EXPECT_EQ(safe->QueryInterface(IID_IDispatch, nullptr), E_POINTER);
    unk.reset();
    EXPECT_REF(safe.get(), 1);
    safe.reset();
    EXPECT_EQ(appointment.refs, 1u);
}

namespace {

const char* kContactCard =
    "BEGIN:VCARD\r\nVERSION:2.1\r\n"
    "N:Lindqvist;Åsa\r\n"
    "FN:Åsa Lindqvist\r\n"
    "ORG:Fjäll AB\r\n"
    "EMAIL;INTERNET:asa@fjall.se\r\n"
    "X-FAVOURITE-COLOUR:green\r\n"
    "NOTE;ENCODING=QUOTED-PRINTABLE:two=0D=0Alines\r\n"
    "END:VCARD\r\n";

class ContactExport : public SafeItems {
protected:
    void SetUp() override
    {
        auto fake = std::make_shared<FakeContact>();
        fake->text = kContactCard;
        linker_.contacts[&item_] = fake;
        ASSERT_EQ(createSafeContactItem(linker_, IID_ISafeContactItem, safe_.put_void()), S_OK);
        ASSERT_EQ(safe_->put_Item(&item_), S_OK);
    }
    void TearDown() override
    {
        safe_.reset();
        EXPECT_EQ(item_.refs, 1u);
        SafeItems::TearDown();
    }
    HRESULT saveAs(const std::filesystem::path& p, LONG type)
    {
        const std::u16string wide = toUtf16(p.string());
        Bstr path(wide.c_str());
        return safe_->SaveAs(path.b, i4(type));
    }
    std::size_t filesIn(const std::filesystem::path& d)
    {
        std::size_t n = 0;
        for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(d)) ++n;
        return n;
    }
    DummyItem item_;
    FakeLinker linker_;
    ComPtr<ISafeContactItem> safe_;
    pimtest::TempDir dir_;
};

}  // namespace

TEST_F(ContactExport, VcardTypeWritesEveryFieldAsVersion30)
{
    ASSERT_EQ(saveAs(dir_ / "c.vcf", 6), S_OK);
    const std::string text = pimtest::readFile(dir_ / "c.vcf");
    EXPECT_EQ(text.rfind("BEGIN:VCARD\r\nVERSION:3.0\r\n", 0), 0u) << text;
    EXPECT_NE(text.find("X-FAVOURITE-COLOUR:green\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("NOTE:two\\nlines\r\n"), std::string::npos) << text;
    EXPECT_EQ(filesIn(dir_.path()), 1u);

    ASSERT_TRUE(pimtest::perlVcardRuns());
    const auto r = pimtest::runCommand(
        "/usr/bin/perl -MText::vCard::Addressbook -e 'binmode STDOUT, q(:encoding(UTF-8)); "
        "for (Text::vCard::Addressbook->new({source_file => $ARGV[0]})->vcards) {"
        " print $_->fullname, qq(|), $_->get(q(email))->[0]->value, qq(\\n) }' " +
        pimtest::shellQuote((dir_ / "c.vcf").string()));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "Åsa Lindqvist|asa@fjall.se\n");
}

TEST_F(ContactExport, MsgTypeWritesAMessageFileOthersFail)
{
    ASSERT_EQ(saveAs(dir_ / "c.msg", 3), S_OK);
    const std::string bytes = pimtest::readFile(dir_ / "c.msg");
    ASSERT_GE(bytes.size(), 1536u);
    EXPECT_EQ(bytes.substr(0, 8), std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8));
    EXPECT_TRUE(pimtest::olefileRuns());
    const auto r = pimtest::runCommand(
        "/usr/bin/python3 -c \"import olefile,sys; o=olefile.OleFileIO(sys.argv[1]); "
        "print(o.openstream('__substg1.0_001A001F').read().decode('utf-16-le')); "
        "print(o.openstream('__substg1.0_3A11001F').read().decode('utf-16-le'))\" " +
        pimtest::shellQuote((dir_ / "c.msg").string()));
    EXPECT_EQ(r.out, "IPM.Contact\nLindqvist\n");

    for (LONG type : {0, 1, 2, 4, 5, 7, -1}) {
        EXPECT_LT(saveAs(dir_ / ("t" + std::to_string(type)), type), 0) << type;
        EXPECT_FALSE(std::filesystem::exists(dir_ / ("t" + std::to_string(type))));
    }
    VARIANT s;
    VariantInit(&s);
    s.vt = VT_BSTR;
    s.bstrVal = SysAllocString(u"6");
    Bstr path(toUtf16((dir_ / "s.vcf").string()).c_str());
    EXPECT_LT(safe_->SaveAs(path.b, s), 0);
    VariantClear(&s);
    EXPECT_EQ(filesIn(dir_.path()), 1u);
}

TEST_F(ContactExport, UnwritablePathsFailAndLeaveNothing)
{
    EXPECT_EQ(saveAs(dir_ / "missing" / "c.vcf", 6), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(saveAs(dir_ / "missing" / "c.msg", 3), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
    std::filesystem::create_directory(dir_ / "adir");
    EXPECT_LT(saveAs(dir_ / "adir", 6), 0) << "a folder is no file";
    EXPECT_TRUE(std::filesystem::is_directory(dir_ / "adir"));
    Bstr empty(u"");
    EXPECT_EQ(safe_->SaveAs(empty.b, i4(6)), E_INVALIDARG);
    EXPECT_EQ(safe_->SaveAs(nullptr, i4(6)), E_INVALIDARG);
    EXPECT_EQ(filesIn(dir_.path()), 1u) << "a partial or temporary file was left";

    // An existing file is replaced whole.
    pimtest::writeFile(dir_ / "old.vcf", std::string(100000, 'x'));
    ASSERT_EQ(saveAs(dir_ / "old.vcf", 6), S_OK);
    EXPECT_EQ(pimtest::readFile(dir_ / "old.vcf").rfind("BEGIN:VCARD", 0), 0u);

    if (::geteuid() != 0) {
        std::filesystem::create_directory(dir_ / "ro");
        ::chmod((dir_ / "ro").c_str(), 0555);
        EXPECT_EQ(saveAs(dir_ / "ro" / "c.vcf", 6), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
        EXPECT_EQ(filesIn(dir_ / "ro"), 0u);
        ::chmod((dir_ / "ro").c_str(), 0755);
    }
}

TEST_F(ContactExport, FaultPointsAndUnwrappedItem)
{
    pim::fault::Scope faults;
    pim::fault::arm("ISafeContactItem::SaveAs", HRESULT_FROM_WIN32(ERROR_DISK_FULL));
    EXPECT_EQ(saveAs(dir_ / "c.vcf", 6), HRESULT_FROM_WIN32(ERROR_DISK_FULL));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "c.vcf"));
    EXPECT_EQ(saveAs(dir_ / "c.vcf", 6), S_OK);
    EXPECT_EQ(pim::fault::count("ISafeContactItem::SaveAs"), 2u);

    ComPtr<ISafeContactItem> bare;
    ASSERT_EQ(createSafeContactItem(linker_, IID_ISafeContactItem, bare.put_void()), S_OK);
    Bstr path(toUtf16((dir_ / "bare.vcf").string()).c_str());
    EXPECT_EQ(bare->SaveAs(path.b, i4(6)), E_UNEXPECTED);
    DummyItem stranger;
    pim::fault::arm("ISafeContactItem::put_Item", E_OUTOFMEMORY);
    EXPECT_EQ(bare->put_Item(&item_), E_OUTOFMEMORY);
    EXPECT_LT(bare->put_Item(&stranger), 0);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "bare.vcf"));
}

namespace {

// A registry of its own for each test.
class WithRegistry : public SafeItems {
protected:
    void SetUp() override
    {
        const char* old = std::getenv("PIM_REGISTRY");
        if (old) saved_ = old;
        hadOld_ = old != nullptr;
        ::setenv("PIM_REGISTRY", (dir_ / "registry.reg").c_str(), 1);
    }
    void TearDown() override
    {
        if (hadOld_) ::setenv("PIM_REGISTRY", saved_.c_str(), 1);
        else ::unsetenv("PIM_REGISTRY");
        SafeItems::TearDown();
    }
    std::u16string readDefault(const std::u16string& key)
    {
        HKEY k = nullptr;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return u"<no key>";
        char16_t buf[512] = {};
        DWORD size = sizeof buf, type = 0;
        const LSTATUS s = RegQueryValueExW(k, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
        RegCloseKey(k);
        return s == ERROR_SUCCESS ? std::u16string(buf) : u"<no value>";
    }
    static std::u16string clsidKey(REFCLSID c)
    {
        OLECHAR text[40];
        StringFromGUID2(c, text, 40);
        return u"CLSID\\" + std::u16string(text);
    }
    pimtest::TempDir dir_;
    std::string saved_;
    bool hadOld_ = false;
};

std::string accountFullNameFromGetent()
{
    const auto r = pimtest::runCommand("getent passwd \"$(id -u)\" | cut -d: -f5 | cut -d, -f1");
    std::string s = r.out;
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

}  // namespace

TEST_F(WithRegistry, CurrentUserNameComesFromTheProfileElseTheAccount)
{
    ComPtr<ISafeCurrentUser> user;
    ASSERT_EQ(createSafeCurrentUser(IID_ISafeCurrentUser, user.put_void()), S_OK);

    // No profile value: the account's full name from the user database, or null.
    Bstr name;
    ASSERT_EQ(user->get_Name(name.out()), S_OK);
    const std::string account = accountFullNameFromGetent();
    if (account.empty()) EXPECT_EQ(name.b, nullptr);
    else EXPECT_EQ(toUtf8(name.str()), account);

    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\PimServer\\Profile", 0, nullptr, 0, KEY_WRITE, nullptr,
                              &k, nullptr),
              ERROR_SUCCESS);
    const std::u16string value = u"Ünal Profile-User";
    ASSERT_EQ(RegSetValueExW(k, u"UserName", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>((value.size() + 1) * 2)),
              ERROR_SUCCESS);
    RegCloseKey(k);
    ASSERT_EQ(user->get_Name(name.out()), S_OK);
    EXPECT_EQ(name.str(), value);
    EXPECT_EQ(user->Cleanup(), S_OK);

    pim::fault::Scope faults;
    pim::fault::arm("ISafeCurrentUser::get_Name", E_FAIL);
    EXPECT_EQ(user->get_Name(name.out()), E_FAIL);
    name.b = nullptr;
    pim::fault::arm("ISafeCurrentUser::Cleanup", E_ABORT);
    EXPECT_EQ(user->Cleanup(), E_ABORT);
    EXPECT_EQ(pim::fault::count("ISafeCurrentUser::Cleanup"), 1u);
}

TEST_F(WithRegistry, EachClassRegistersAndUnregistersOnItsOwn)
{
    const std::string lib = "/opt/pim/libpimserver.so";
    ASSERT_EQ(registerAll(lib), S_OK);
    for (const CLSID* c : {&CLSID_SafeAppointmentItem, &CLSID_SafeContactItem, &CLSID_SafeCurrentUser})
        EXPECT_EQ(readDefault(clsidKey(*c) + u"\\InprocServer32"), toUtf16(lib));

    EXPECT_EQ(unregisterClass(CLSID_SafeContactItem), S_OK);
    EXPECT_EQ(readDefault(clsidKey(CLSID_SafeContactItem)), u"<no key>");
    EXPECT_EQ(readDefault(clsidKey(CLSID_SafeCurrentUser) + u"\\InprocServer32"), toUtf16(lib));
    EXPECT_EQ(unregisterClass(CLSID_SafeContactItem), S_OK) << "already gone is fine";
    EXPECT_EQ(registerClass(CLSID_SafeContactItem, lib), S_OK);
    EXPECT_EQ(readDefault(clsidKey(CLSID_SafeContactItem) + u"\\InprocServer32"), toUtf16(lib));
    EXPECT_EQ(registerClass(IID_ISafeRecipient, lib), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(unregisterAll(), S_OK);
    EXPECT_EQ(readDefault(clsidKey(CLSID_SafeAppointmentItem)), u"<no key>");
}

TEST_F(SafeItems, ClassObjectsCreateEachClassAndCountLocks)
{
    const LONG before = lockCount();
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(getClassObject(CLSID_SafeCurrentUser, IID_IClassFactory, factory.put_void()), S_OK);
    ComPtr<ISafeCurrentUser> user;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_ISafeCurrentUser, user.put_void()), S_OK);
    EXPECT_TRUE(user);
    EXPECT_GT(lockCount(), before);
    ComPtr<IUnknown> aggregated;
    DummyItem outer;
    EXPECT_EQ(factory->CreateInstance(reinterpret_cast<IUnknown*>(&outer), IID_IUnknown, aggregated.put_void()),
              CLASS_E_NOAGGREGATION);
    ComPtr<ISafeContactItem> wrong;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_ISafeContactItem, wrong.put_void()), E_NOINTERFACE);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    user.reset();
    factory.reset();
    EXPECT_EQ(lockCount(), before + 1);
    ASSERT_EQ(getClassObject(CLSID_SafeContactItem, IID_IClassFactory, factory.put_void()), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory.reset();
    EXPECT_EQ(lockCount(), before);

    void* p = reinterpret_cast<void*>(0xdeadbeef);
    EXPECT_EQ(getClassObject(IID_ISafeRecipient, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(p, nullptr);
}

TEST_F(WithRegistry, ServerLibraryRegistersTheClassesForActivation)
{
    // The library sits beside the test programs' folder in the build tree.
    const auto lib = std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "lib" /
                     "libpimserver.so";
    if (!std::filesystem::exists(lib)) GTEST_SKIP() << "libpimserver.so is not built (" << lib << ")";
    void* handle = ::dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << ::dlerror();
    auto reg = reinterpret_cast<HRESULT (*)()>(::dlsym(handle, "DllRegisterServer"));
    ASSERT_NE(reg, nullptr);
    ASSERT_EQ(reg(), S_OK);
    EXPECT_EQ(readDefault(clsidKey(CLSID_SafeContactItem) + u"\\InprocServer32"), toUtf16(lib.string()));

    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    {
        ComPtr<ISafeCurrentUser> user;
        EXPECT_EQ(CoCreateInstance(CLSID_SafeCurrentUser, nullptr, CLSCTX_INPROC_SERVER, IID_ISafeCurrentUser,
                                   user.put_void()),
                  S_OK);
        ComPtr<ISafeContactItem> contact;
        EXPECT_EQ(CoCreateInstance(CLSID_SafeContactItem, nullptr, CLSCTX_INPROC_SERVER, IID_ISafeContactItem,
                                   contact.put_void()),
                  S_OK);
        // One class taken away: the others still activate.
        ASSERT_EQ(unregisterClass(CLSID_SafeContactItem), S_OK);
        ComPtr<ISafeContactItem> gone;
        EXPECT_EQ(CoCreateInstance(CLSID_SafeContactItem, nullptr, CLSCTX_INPROC_SERVER, IID_ISafeContactItem,
                                   gone.put_void()),
                  REGDB_E_CLASSNOTREG);
        EXPECT_FALSE(gone);
        ComPtr<ISafeAppointmentItem> appt;
        EXPECT_EQ(CoCreateInstance(CLSID_SafeAppointmentItem, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_ISafeAppointmentItem, appt.put_void()),
                  S_OK);
    }
    CoUninitialize();
    auto unreg = reinterpret_cast<HRESULT (*)()>(::dlsym(handle, "DllUnregisterServer"));
    ASSERT_NE(unreg, nullptr);
    EXPECT_EQ(unreg(), S_OK);
    EXPECT_EQ(readDefault(clsidKey(CLSID_SafeCurrentUser)), u"<no key>");
    ::dlclose(handle);
}
