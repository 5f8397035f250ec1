// The safe-item classes: recipients, current user, contact export, class objects
// and registration. Items are reached through fake links here; the server's own
// items are linked in test_redemption_server.cpp.
#include "redemption_module.h"
#include "test_support.h"

#include <objbase.h>
#include <pim/fault.h>

#include <dlfcn.h>
#include <sys/stat.h>

#include <map>
#include <thread>

using namespace pim::redemption;
using pimtest::Bstr;
using pimtest::classesDefault;
using pimtest::get;
using pimtest::text16;

namespace {

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
        return it == directory.end() ? std::nullopt : std::optional<std::u16string>(it->second);
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
    HRESULT linkAppointment(IDispatch* item, std::shared_ptr<AppointmentLink>* link) override { return find(appointments, item, link); }
    HRESULT linkContact(IDispatch* item, std::shared_ptr<ContactLink>* link) override { return find(contacts, item, link); }

private:
    template <class M, class L>
    static HRESULT find(const M& m, IDispatch* item, L* link)
    {
        auto it = m.find(item);
        if (it == m.end()) return E_NOINTERFACE;
        *link = it->second;
        return S_OK;
    }
};

// Any distinct IDispatch pointer will do as an item handle for the fake linker.
class DummyItem final : public pimtest::NoDispatch<IDispatch> {
public:
    STDMETHODIMP QueryInterface(REFIID, void** ppv) override
    {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    ULONG refs = 1;
};

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
    LONG count() { return get(recipients_.get(), &ISafeRecipients::get_Count); }
    ComPtr<ISafeRecipient> item(LONG i)
    {
        ComPtr<ISafeRecipient> r;
        EXPECT_EQ(recipients_->Item(i, r.put()), S_OK);
        return r;
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
    auto r = item(2);
    ASSERT_TRUE(r);
    EXPECT_EQ(text16(r.get(), &ISafeRecipient::get_Name), u"Bob");
    EXPECT_EQ(text16(r.get(), &ISafeRecipient::get_Address), u"");
    EXPECT_EQ(get(r.get(), &ISafeRecipient::get_Type), 2);
    EXPECT_REF(r.get(), 1);

    for (LONG bad : {0, 3, -1, 0x7FFFFFFF}) {
        ISafeRecipient* out = static_cast<ISafeRecipient*>(pimtest::Poison());
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
    ASSERT_EQ(recipients_->Add(Bstr(u"Carol").b, carol.put()), S_OK);
    ASSERT_TRUE(carol);
    EXPECT_EQ(get(carol.get(), &ISafeRecipient::get_Type), 1) << "a new recipient is required";
    EXPECT_EQ(count(), 3);
    ASSERT_EQ(fake_->stored.size(), 3u);
    EXPECT_EQ(fake_->stored[2].name, u"Carol");

    // Any 32-bit value is kept as the type.
    for (LONG t : {0, 3, -7, static_cast<LONG>(0x80000000), 0x7FFFFFFF}) {
        EXPECT_EQ(carol->put_Type(t), S_OK);
        EXPECT_EQ(get(carol.get(), &ISafeRecipient::get_Type), t);
        EXPECT_EQ(fake_->stored[2].type, t);
    }
    EXPECT_EQ(carol->put_Address(Bstr(u"carol@example.org").b), S_OK);
    EXPECT_EQ(fake_->stored[2].address, u"carol@example.org");

    EXPECT_EQ(recipients_->Remove(1), S_OK);
    EXPECT_EQ(count(), 2);
    ASSERT_EQ(fake_->stored.size(), 2u);
    EXPECT_EQ(fake_->stored[0].name, u"Bob");
    // The recipient object still answers after others were removed.
    EXPECT_EQ(text16(carol.get(), &ISafeRecipient::get_Name), u"Carol");
}

TEST_F(Recipients, AddWithEmptyOrNullNameGivesNullWithSuccess)
{
    Bstr empty(u"");
    for (BSTR name : {static_cast<BSTR>(nullptr), empty.b}) {
        ISafeRecipient* out = static_cast<ISafeRecipient*>(pimtest::Poison());
        EXPECT_EQ(recipients_->Add(name, &out), S_OK);
        EXPECT_EQ(out, nullptr);
    }
    EXPECT_EQ(count(), 2);
    EXPECT_EQ(fake_->writes, 0);
}

TEST_F(Recipients, ResolveFillsTheAddressOnlyWhenFound)
{
    fake_->directory[u"Bob"] = u"bob@example.net";
    auto bob = item(2), alice = item(1);
    VARIANT_BOOL ok = 0x1234;
    EXPECT_EQ(bob->Resolve(VARIANT_FALSE, &ok), S_OK);
    EXPECT_EQ(ok, VARIANT_TRUE);
    EXPECT_EQ(text16(bob.get(), &ISafeRecipient::get_Address), u"bob@example.net");
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
    EXPECT_EQ(recipients_->Add(Bstr(u"Dave").b, r.put()), E_ACCESSDENIED);
    EXPECT_FALSE(r);
    EXPECT_EQ(count(), 2);
    EXPECT_EQ(recipients_->Remove(1), E_ACCESSDENIED);
    EXPECT_EQ(count(), 2);
    r = item(1);
    EXPECT_EQ(r->put_Type(3), E_ACCESSDENIED);
    EXPECT_EQ(get(r.get(), &ISafeRecipient::get_Type), 1);
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
    EXPECT_EQ(r->put_Name(name.b), E_UNEXPECTED);
    EXPECT_EQ(r->get_Address(b.out()), E_UNEXPECTED);
    b.reset();
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
    EXPECT_EQ(get(safe.get(), &ISafeAppointmentItem::get_Item), &appointment);
    appointment.Release();  // get_Item's reference

    // Identity and the interfaces answered.
    auto unk = pimtest::query<IUnknown>(safe.get(), IID_IUnknown);
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
    "BEGIN:VCARD\r\nVERSION:2.1\r\nN:Lindqvist;Åsa\r\nFN:Åsa Lindqvist\r\nORG:Fjäll AB\r\nEMAIL;INTERNET:asa@fjall.se\r\n"
    "X-FAVOURITE-COLOUR:green\r\nNOTE;ENCODING=QUOTED-PRINTABLE:two=0D=0Alines\r\nEND:VCARD\r\n";

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
    HRESULT saveAs(const std::filesystem::path& p, LONG type, ISafeContactItem* safe = nullptr)
    {
        return (safe ? safe : safe_.get())->SaveAs(Bstr(p.string()).b, pimtest::i4(type));
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
    EXPECT_EQ(pimtest::filesIn(dir_.path()), 1u);

    ASSERT_TRUE(pimtest::perlVcardRuns());
    EXPECT_EQ(pimtest::readWith("/usr/bin/perl -MText::vCard::Addressbook -e",
                                "binmode STDOUT, q(:encoding(UTF-8)); "
                                "for (Text::vCard::Addressbook->new({source_file => $ARGV[0]})->vcards) {"
                                " print $_->fullname, qq(|), $_->get(q(email))->[0]->value, qq(\\n) }",
                                dir_ / "c.vcf"),
              "Åsa Lindqvist|asa@fjall.se\n");
}

TEST_F(ContactExport, MsgTypeWritesAMessageFileOthersFail)
{
    ASSERT_EQ(saveAs(dir_ / "c.msg", 3), S_OK);
    const std::string bytes = pimtest::readFile(dir_ / "c.msg");
    ASSERT_GE(bytes.size(), 1536u);
    EXPECT_EQ(bytes.substr(0, 8), std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8));
    ASSERT_TRUE(pimtest::olefileRuns());
    EXPECT_EQ(pimtest::readWith("/usr/bin/python3 -c",
                                "import olefile,sys; o=olefile.OleFileIO(sys.argv[1]); "
                                "print(o.openstream('__substg1.0_001A001F').read().decode('utf-16-le')); "
                                "print(o.openstream('__substg1.0_3A11001F').read().decode('utf-16-le'))",
                                dir_ / "c.msg"),
              "IPM.Contact\nLindqvist\n");

    for (LONG type : {0, 1, 2, 4, 5, 7, -1}) {
        EXPECT_LT(saveAs(dir_ / ("t" + std::to_string(type)), type), 0) << type;
        EXPECT_FALSE(std::filesystem::exists(dir_ / ("t" + std::to_string(type))));
    }
    VARIANT s;
    VariantInit(&s);
    s.vt = VT_BSTR;
    s.bstrVal = SysAllocString(u"6");
    EXPECT_LT(safe_->SaveAs(Bstr(dir_.str("s.vcf")).b, s), 0);
    VariantClear(&s);
    EXPECT_EQ(pimtest::filesIn(dir_.path()), 1u);
}

TEST_F(ContactExport, UnwritablePathsFailAndLeaveNothing)
{
    EXPECT_EQ(saveAs(dir_ / "missing" / "c.vcf", 6), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(saveAs(dir_ / "missing" / "c.msg", 3), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
    std::filesystem::create_directory(dir_ / "adir");
    EXPECT_LT(saveAs(dir_ / "adir", 6), 0) << "a folder is no file";
    EXPECT_TRUE(std::filesystem::is_directory(dir_ / "adir"));
    EXPECT_EQ(saveAs("", 6), E_INVALIDARG);
    EXPECT_EQ(safe_->SaveAs(nullptr, pimtest::i4(6)), E_INVALIDARG);
    EXPECT_EQ(pimtest::filesIn(dir_.path()), 1u) << "a partial or temporary file was left";

    // An existing file is replaced whole.
    pimtest::writeFile(dir_ / "old.vcf", std::string(100000, 'x'));
    ASSERT_EQ(saveAs(dir_ / "old.vcf", 6), S_OK);
    EXPECT_EQ(pimtest::readFile(dir_ / "old.vcf").rfind("BEGIN:VCARD", 0), 0u);

    if (::geteuid() != 0) {
        std::filesystem::create_directory(dir_ / "ro");
        ::chmod((dir_ / "ro").c_str(), 0555);
        EXPECT_EQ(saveAs(dir_ / "ro" / "c.vcf", 6), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
        EXPECT_EQ(pimtest::filesIn(dir_ / "ro"), 0u);
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
    EXPECT_EQ(saveAs(dir_ / "bare.vcf", 6, bare.get()), E_UNEXPECTED);
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
    static std::u16string clsidKey(REFCLSID c, const char16_t* sub = u"")
    {
        OLECHAR text[40];
        StringFromGUID2(c, text, 40);
        return u"CLSID\\" + std::u16string(text) + sub;
    }
    pimtest::ScratchRegistry registry_;
};

}  // namespace

TEST_F(WithRegistry, CurrentUserNameComesFromTheProfileElseTheAccount)
{
    ComPtr<ISafeCurrentUser> user;
    ASSERT_EQ(createSafeCurrentUser(IID_ISafeCurrentUser, user.put_void()), S_OK);

    // No profile value: the account's full name from the user database, or null.
    Bstr name;
    ASSERT_EQ(user->get_Name(name.out()), S_OK);
    std::string account = pimtest::runCommand("getent passwd \"$(id -u)\" | cut -d: -f5 | cut -d, -f1").out;
    while (!account.empty() && (account.back() == '\n' || account.back() == ' ')) account.pop_back();
    if (account.empty()) EXPECT_EQ(name.b, nullptr);
    else EXPECT_EQ(toUtf8(name.u16()), account);

    const std::u16string value = u"Ünal Profile-User";
    pimtest::setRegistry(HKEY_CURRENT_USER, "Software\\PimServer\\Profile", "UserName", value);
    EXPECT_EQ(text16(user.get(), &ISafeCurrentUser::get_Name), value);
    EXPECT_EQ(user->Cleanup(), S_OK);

    pim::fault::Scope faults;
    pim::fault::arm("ISafeCurrentUser::get_Name", E_FAIL);
    EXPECT_EQ(user->get_Name(name.out()), E_FAIL);
    pim::fault::arm("ISafeCurrentUser::Cleanup", E_ABORT);
    EXPECT_EQ(user->Cleanup(), E_ABORT);
    EXPECT_EQ(pim::fault::count("ISafeCurrentUser::Cleanup"), 1u);
}

TEST_F(WithRegistry, EachClassRegistersAndUnregistersOnItsOwn)
{
    const std::string lib = "/opt/pim/libpimserver.so";
    const std::u16string where = toUtf16(lib);
    ASSERT_EQ(registerAll(lib), S_OK);
    for (const CLSID* c : {&CLSID_SafeAppointmentItem, &CLSID_SafeContactItem, &CLSID_SafeCurrentUser})
        EXPECT_EQ(classesDefault(clsidKey(*c, u"\\InprocServer32")), where);

    EXPECT_EQ(unregisterClass(CLSID_SafeContactItem), S_OK);
    EXPECT_EQ(classesDefault(clsidKey(CLSID_SafeContactItem)), u"<no key>");
    EXPECT_EQ(classesDefault(clsidKey(CLSID_SafeCurrentUser, u"\\InprocServer32")), where);
    EXPECT_EQ(unregisterClass(CLSID_SafeContactItem), S_OK) << "already gone is fine";
    EXPECT_EQ(registerClass(CLSID_SafeContactItem, lib), S_OK);
    EXPECT_EQ(classesDefault(clsidKey(CLSID_SafeContactItem, u"\\InprocServer32")), where);
    EXPECT_EQ(registerClass(IID_ISafeRecipient, lib), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(unregisterAll(), S_OK);
    EXPECT_EQ(classesDefault(clsidKey(CLSID_SafeAppointmentItem)), u"<no key>");
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
    EXPECT_EQ(factory->CreateInstance(&outer, IID_IUnknown, aggregated.put_void()), CLASS_E_NOAGGREGATION);
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

    void* p = pimtest::Poison();
    EXPECT_EQ(getClassObject(IID_ISafeRecipient, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(p, nullptr);
}

TEST_F(WithRegistry, ServerLibraryRegistersTheClassesForActivation)
{
    // The library sits beside the test programs' folder in the build tree.
    const auto lib = std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "lib" / "libpimserver.so";
    if (!std::filesystem::exists(lib)) GTEST_SKIP() << "libpimserver.so is not built (" << lib << ")";
    void* handle = ::dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << ::dlerror();
    auto reg = reinterpret_cast<HRESULT (*)()>(::dlsym(handle, "DllRegisterServer"));
    auto unreg = reinterpret_cast<HRESULT (*)()>(::dlsym(handle, "DllUnregisterServer"));
    ASSERT_NE(reg, nullptr);
    ASSERT_NE(unreg, nullptr);
    ASSERT_EQ(reg(), S_OK);
    EXPECT_EQ(classesDefault(clsidKey(CLSID_SafeContactItem, u"\\InprocServer32")), toUtf16(lib.string()));

    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    auto create = [](REFCLSID c, REFIID i) {
        ComPtr<IUnknown> p;
        HRESULT hr = CoCreateInstance(c, nullptr, CLSCTX_INPROC_SERVER, i, p.put_void());
        EXPECT_EQ(!!p, SUCCEEDED(hr));
        return hr;
    };
    EXPECT_EQ(create(CLSID_SafeCurrentUser, IID_ISafeCurrentUser), S_OK);
    EXPECT_EQ(create(CLSID_SafeContactItem, IID_ISafeContactItem), S_OK);
    // One class taken away: the others still activate.
    ASSERT_EQ(unregisterClass(CLSID_SafeContactItem), S_OK);
    EXPECT_EQ(create(CLSID_SafeContactItem, IID_ISafeContactItem), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(create(CLSID_SafeAppointmentItem, IID_ISafeAppointmentItem), S_OK);
    CoUninitialize();
    EXPECT_EQ(unreg(), S_OK);
    EXPECT_EQ(classesDefault(clsidKey(CLSID_SafeCurrentUser)), u"<no key>");
    ::dlclose(handle);
}

// The records read from the appointment are held together; a recipient object keeps its own
// record, and changes to it reach the appointment, after others are removed and after the
// collection and the safe item are gone.
TEST_F(Recipients, ARecipientReadOutlivesItsCollection)
{
    auto alice = item(1);
    auto bob = item(2);
    ASSERT_TRUE(alice && bob);
    EXPECT_EQ(recipients_->Remove(1), S_OK);
    EXPECT_EQ(text16(alice.get(), &ISafeRecipient::get_Name), u"Alice");
    EXPECT_EQ(bob->put_Name(Bstr(u"Robert").b), S_OK);
    recipients_.reset();
    safe_.reset();
    alice.reset();
    EXPECT_EQ(text16(bob.get(), &ISafeRecipient::get_Name), u"Robert");
    EXPECT_EQ(bob->put_Address(Bstr(u"robert@example.com").b), S_OK);
    ASSERT_EQ(fake_->stored.size(), 1u);
    EXPECT_EQ(fake_->stored[0].name, u"Robert");
    EXPECT_EQ(fake_->stored[0].address, u"robert@example.com");
    EXPECT_EQ(fake_->stored[0].type, 2);
    bob.reset();
}

// Added records live with the collection's list too: a recipient from Add, one from a refused
// Add and one removed again all stay usable after the collection is gone, and the collection is
// counted as live until the last of its recipient objects goes.
TEST_F(Recipients, AddedRecipientsOutliveTheCollectionAndKeepItCounted)
{
    ComPtr<ISafeRecipient> carol;
    ASSERT_EQ(recipients_->Add(Bstr(u"Carol").b, carol.put()), S_OK);
    ComPtr<ISafeRecipient> dave;
    ASSERT_EQ(recipients_->Add(Bstr(u"Dave").b, dave.put()), S_OK);
    EXPECT_EQ(recipients_->Remove(4), S_OK);  // Dave
    fake_->refuseWith = E_ACCESSDENIED;
    ComPtr<ISafeRecipient> refused;
    EXPECT_EQ(recipients_->Add(Bstr(u"Erin").b, refused.put()), E_ACCESSDENIED);
    fake_->refuseWith = S_OK;
    const LONG before = liveObjects();
    recipients_.reset();
    safe_.reset();
    EXPECT_EQ(liveObjects(), before - 1) << "only the safe item goes while recipients hold the collection";
    EXPECT_EQ(text16(dave.get(), &ISafeRecipient::get_Name), u"Dave");
    EXPECT_EQ(carol->put_Type(3), S_OK);
    ASSERT_EQ(fake_->stored.size(), 3u);
    EXPECT_EQ(fake_->stored[2].name, u"Carol");
    EXPECT_EQ(fake_->stored[2].type, 3);
    dave.reset();
    carol.reset();
}

// The safe item, its recipients and their blocks are reused from one read to the next; threads
// reading their own appointments at once must each see only their own recipients.
TEST_F(SafeItems, ItemsReadAtOnceOnManyThreadsKeepTheirOwnRecipients)
{
    constexpr int kThreads = 4;
    FakeLinker linker;
    DummyItem items[kThreads];
    for (int t = 0; t < kThreads; ++t) {
        auto fake = std::make_shared<FakeAppointment>();
        const std::u16string name = u"Person " + std::u16string(1, static_cast<char16_t>(u'A' + t));
        fake->stored = {{name, u"", 1}, {name + u" Two", u"", 2}};
        linker.appointments[&items[t]] = fake;
    }
    int wrong[kThreads] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            const std::u16string want = u"Person " + std::u16string(1, static_cast<char16_t>(u'A' + t));
            for (int i = 0; i < 2000; ++i) {
                ComPtr<ISafeAppointmentItem> safe;
                ComPtr<ISafeRecipients> list;
                ComPtr<ISafeRecipient> first, second;
                if (FAILED(createSafeAppointmentItem(linker, IID_ISafeAppointmentItem, safe.put_void())) ||
                    FAILED(safe->put_Item(&items[t])) || FAILED(safe->get_Recipients(list.put())) ||
                    FAILED(list->Item(1, first.put())) || FAILED(list->Item(2, second.put()))) {
                    ++wrong[t];
                    continue;
                }
                safe.reset();
                list.reset();
                if (text16(first.get(), &ISafeRecipient::get_Name) != want ||
                    text16(second.get(), &ISafeRecipient::get_Name) != want + u" Two")
                    ++wrong[t];
            }
        });
    for (std::thread& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(wrong[t], 0) << "thread " << t;
        EXPECT_EQ(items[t].refs, 1u) << "the wrapped item was not released exactly once";
    }
}
