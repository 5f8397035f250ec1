// The safe items over the server's own items: recipients reach the store when
// the appointment is saved, Resolve looks in the contacts folder, and a stored
// contact is exported whole.
#include "redemption_module.h"
#include "store.h"
#include "test_msg_support.h"

#include <ComPtr.h>
#include <Outlook.h>
#include <objbase.h>
#include <oleauto.h>

#include <gtest/gtest.h>

extern "C" HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);

namespace {

const char* kBob =
    "BEGIN:VCARD\r\nVERSION:3.0\r\nN:Builder;Bob;;;\r\nFN:Bob Builder\r\nORG:Build Co\r\n"
    "EMAIL;TYPE=INTERNET:bob@build.er\r\nX-HOBBY:bridges\r\n"
    "PHOTO;TYPE=JPEG;ENCODING=b:/9j/4AAQSkZJRgABAQEASABIAAD/\r\nEND:VCARD\r\n";

struct BstrArg {
    BSTR b;
    explicit BstrArg(const char16_t* s) : b(SysAllocString(s)) {}
    ~BstrArg() { SysFreeString(b); }
};

VARIANT i4(LONG v)
{
    VARIANT var;
    VariantInit(&var);
    var.vt = VT_I4;
    var.lVal = v;
    return var;
}

template <class T>
HRESULT createSafe(REFCLSID clsid, REFIID iid, ComPtr<T>* out)
{
    ComPtr<IClassFactory> f;
    HRESULT hr = DllGetClassObject(clsid, IID_IClassFactory, f.put_void());
    if (FAILED(hr)) return hr;
    return f->CreateInstance(nullptr, iid, out->put_void());
}

class SafeItemsOverServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        storePath_ = (dir_ / "store.db").string();
        {
            pim::store::Store::Options o;
            o.create = true;
            auto s = pim::store::Store::open(storePath_, o);
            s->addContact(kBob);
            s->addContact("BEGIN:VCARD\r\nVERSION:3.0\r\nN:Twin;A;;;\r\nFN:Twin\r\nEMAIL:a@twin\r\nEND:VCARD\r\n");
            s->addContact("BEGIN:VCARD\r\nVERSION:3.0\r\nN:Twin;B;;;\r\nFN:Twin\r\nEMAIL:b@twin\r\nEND:VCARD\r\n");
        }
        ::setenv("PIM_STORE", storePath_.c_str(), 1);
        ComPtr<IClassFactory> f;
        ASSERT_EQ(DllGetClassObject(CLSID_OutlookApplication, IID_IClassFactory, f.put_void()), S_OK);
        ASSERT_EQ(f->CreateInstance(nullptr, IID__Application, app_.put_void()), S_OK);
    }
    void TearDown() override
    {
        app_.reset();
        ::unsetenv("PIM_STORE");
        CoUninitialize();
        EXPECT_EQ(pim::redemption::liveObjects(), 0);
    }

    ComPtr<_AppointmentItem> newAppointment()
    {
        ComPtr<IDispatch> d;
        EXPECT_EQ(app_->CreateItem(olAppointmentItem, d.put()), S_OK);
        ComPtr<_AppointmentItem> a;
        if (d) {
            EXPECT_EQ(d.query(IID__AppointmentItem, &a), S_OK);
        }
        if (a) {
            BstrArg subject(u"Planning");
            a->put_Subject(subject.b);
            a->put_Start(46000.5);
            a->put_End(46000.5 + 1.0 / 24);
        }
        return a;
    }

    ComPtr<_ContactItem> firstContact()
    {
        ComPtr<_NameSpace> ns;
        BstrArg mapi(u"MAPI");
        EXPECT_EQ(app_->GetNamespace(mapi.b, ns.put()), S_OK);
        ComPtr<MAPIFolder> folder;
        EXPECT_EQ(ns->GetDefaultFolder(olFolderContacts, folder.put()), S_OK);
        ComPtr<_Items> items;
        EXPECT_EQ(folder->get_Items(items.put()), S_OK);
        ComPtr<IDispatch> first;
        EXPECT_EQ(items->GetFirst(first.put()), S_OK);
        ComPtr<_ContactItem> c;
        if (first) {
            EXPECT_EQ(first.query(IID__ContactItem, &c), S_OK);
        }
        return c;
    }

    pimtest::TempDir dir_;
    std::string storePath_;
    ComPtr<_Application> app_;
};

std::vector<std::pair<std::u16string, std::u16string>> namesAndAddresses(ISafeRecipients* r)
{
    std::vector<std::pair<std::u16string, std::u16string>> out;
    LONG n = 0;
    EXPECT_EQ(r->get_Count(&n), S_OK);
    for (LONG i = 1; i <= n; ++i) {
        ComPtr<ISafeRecipient> one;
        EXPECT_EQ(r->Item(i, one.put()), S_OK);
        BSTR name = nullptr, address = nullptr;
        one->get_Name(&name);
        one->get_Address(&address);
        out.emplace_back(std::u16string(name, SysStringLen(name)), std::u16string(address, SysStringLen(address)));
        SysFreeString(name);
        SysFreeString(address);
    }
    return out;
}

}  // namespace

TEST_F(SafeItemsOverServer, RecipientsResolveAndReachTheStoreOnSave)
{
    ComPtr<_AppointmentItem> appt = newAppointment();
    ASSERT_TRUE(appt);
    ComPtr<ISafeAppointmentItem> safe;
    ASSERT_EQ(createSafe(CLSID_SafeAppointmentItem, IID_ISafeAppointmentItem, &safe), S_OK);
    ASSERT_EQ(safe->put_Item(appt.get()), S_OK);
    ComPtr<ISafeRecipients> recipients;
    ASSERT_EQ(safe->get_Recipients(recipients.put()), S_OK);

    ComPtr<ISafeRecipient> bob, twin, nobody;
    BstrArg bobName(u"Bob Builder"), twinName(u"Twin"), nobodyName(u"nobody@else.org");
    ASSERT_EQ(recipients->Add(bobName.b, bob.put()), S_OK);
    ASSERT_EQ(recipients->Add(twinName.b, twin.put()), S_OK);
    ASSERT_EQ(recipients->Add(nobodyName.b, nobody.put()), S_OK);
    VARIANT_BOOL ok = VARIANT_FALSE;
    EXPECT_EQ(bob->Resolve(VARIANT_FALSE, &ok), S_OK);
    EXPECT_EQ(ok, VARIANT_TRUE);
    EXPECT_EQ(twin->Resolve(VARIANT_FALSE, &ok), S_OK);
    EXPECT_EQ(ok, VARIANT_FALSE) << "two contacts share the name";
    EXPECT_EQ(nobody->Resolve(VARIANT_FALSE, &ok), S_OK);
    EXPECT_EQ(ok, VARIANT_FALSE);
    BstrArg addr(u"nobody@else.org");
    EXPECT_EQ(nobody->put_Address(addr.b), S_OK);
    EXPECT_EQ(nobody->put_Type(olOptional), S_OK);
    EXPECT_EQ(recipients->Remove(2), S_OK);

    // Nothing reaches the store before Save.
    {
        auto s = pim::store::Store::open(storePath_);
        EXPECT_EQ(s->count(pim::store::Folder::Calendar), 0u);
    }
    ASSERT_EQ(appt->Save(), S_OK);
    {
        auto s = pim::store::Store::open(storePath_);
        const auto keys = s->keys(pim::store::Folder::Calendar);
        ASSERT_EQ(keys.size(), 1u);
        const std::string ical = s->get(keys[0])->data;
        EXPECT_NE(ical.find("mailto:bob@build.er"), std::string::npos) << ical;
        EXPECT_NE(ical.find("mailto:nobody@else.org"), std::string::npos) << ical;
        EXPECT_EQ(ical.find("Twin"), std::string::npos) << ical;
    }

    // A new safe item over the same appointment sees what was saved.
    ComPtr<ISafeAppointmentItem> again;
    ASSERT_EQ(createSafe(CLSID_SafeAppointmentItem, IID_ISafeAppointmentItem, &again), S_OK);
    ASSERT_EQ(again->put_Item(appt.get()), S_OK);
    ComPtr<ISafeRecipients> reread;
    ASSERT_EQ(again->get_Recipients(reread.put()), S_OK);
    const auto list = namesAndAddresses(reread.get());
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0], std::make_pair(std::u16string(u"Bob Builder"), std::u16string(u"bob@build.er")));
    EXPECT_EQ(list[1].second, u"nobody@else.org");
    ComPtr<ISafeRecipient> second;
    ASSERT_EQ(reread->Item(2, second.put()), S_OK);
    LONG type = 0;
    EXPECT_EQ(second->get_Type(&type), S_OK);
    EXPECT_EQ(type, olOptional);
}

// The adapter writes -1 for attendee types the application has no word for; whatever was put
// must read back the same from the store, not as a required attendee.
TEST_F(SafeItemsOverServer, AnyRecipientTypeSurvivesTheStore)
{
    ComPtr<_AppointmentItem> appt = newAppointment();
    ASSERT_TRUE(appt);
    {
        ComPtr<ISafeAppointmentItem> safe;
        ASSERT_EQ(createSafe(CLSID_SafeAppointmentItem, IID_ISafeAppointmentItem, &safe), S_OK);
        ASSERT_EQ(safe->put_Item(appt.get()), S_OK);
        ComPtr<ISafeRecipients> recipients;
        ASSERT_EQ(safe->get_Recipients(recipients.put()), S_OK);
        const std::pair<const char16_t*, LONG> people[] = {{u"Dana", -1}, {u"Eli", 7}, {u"Fay", olOptional}};
        for (const auto& [name, type] : people) {
            BstrArg n(name);
            ComPtr<ISafeRecipient> r;
            ASSERT_EQ(recipients->Add(n.b, r.put()), S_OK);
            ASSERT_EQ(r->put_Type(type), S_OK);
        }
        ASSERT_EQ(appt->Save(), S_OK);
    }
    BSTR id = nullptr;
    ASSERT_EQ(appt->get_EntryID(&id), S_OK);
    ComPtr<_NameSpace> ns;
    BstrArg mapi(u"MAPI");
    ASSERT_EQ(app_->GetNamespace(mapi.b, ns.put()), S_OK);
    VARIANT noStore;
    VariantInit(&noStore);
    ComPtr<IDispatch> fresh;
    HRESULT hr = ns->GetItemFromID(id, noStore, fresh.put());
    SysFreeString(id);
    ASSERT_EQ(hr, S_OK);
    ComPtr<ISafeAppointmentItem> safe;
    ASSERT_EQ(createSafe(CLSID_SafeAppointmentItem, IID_ISafeAppointmentItem, &safe), S_OK);
    ASSERT_EQ(safe->put_Item(fresh.get()), S_OK);
    ComPtr<ISafeRecipients> reread;
    ASSERT_EQ(safe->get_Recipients(reread.put()), S_OK);
    std::vector<LONG> types;
    LONG n = 0;
    ASSERT_EQ(reread->get_Count(&n), S_OK);
    for (LONG i = 1; i <= n; ++i) {
        ComPtr<ISafeRecipient> r;
        ASSERT_EQ(reread->Item(i, r.put()), S_OK);
        LONG t = 0;
        r->get_Type(&t);
        types.push_back(t);
    }
    EXPECT_EQ(types, (std::vector<LONG>{-1, 7, olOptional}));
}

TEST_F(SafeItemsOverServer, ResolvingByASecondAddressKeepsThatAddress)
{
    {
        auto s = pim::store::Store::open(storePath_);
        s->addContact("BEGIN:VCARD\r\nVERSION:3.0\r\nN:Two;Gil;;;\r\nFN:Gil Two\r\nEMAIL:gil@work.example\r\n"
                      "EMAIL:gil@home.example\r\nEND:VCARD\r\n");
    }
    ComPtr<_AppointmentItem> appt = newAppointment();
    ComPtr<ISafeAppointmentItem> safe;
    ASSERT_EQ(createSafe(CLSID_SafeAppointmentItem, IID_ISafeAppointmentItem, &safe), S_OK);
    ASSERT_EQ(safe->put_Item(appt.get()), S_OK);
    ComPtr<ISafeRecipients> recipients;
    ASSERT_EQ(safe->get_Recipients(recipients.put()), S_OK);
    const std::pair<const char16_t*, const char16_t*> cases[] = {{u"gil@home.example", u"gil@home.example"},
                                                                  {u"Gil Two", u"gil@work.example"}};
    for (const auto& [name, expected] : cases) {
        BstrArg n(name);
        ComPtr<ISafeRecipient> r;
        ASSERT_EQ(recipients->Add(n.b, r.put()), S_OK);
        VARIANT_BOOL ok = VARIANT_FALSE;
        EXPECT_EQ(r->Resolve(VARIANT_FALSE, &ok), S_OK);
        EXPECT_EQ(ok, VARIANT_TRUE);
        BSTR address = nullptr;
        r->get_Address(&address);
        EXPECT_EQ(std::u16string(address, SysStringLen(address)), expected);
        SysFreeString(address);
    }
}

TEST_F(SafeItemsOverServer, EachSafeItemTakesOnlyItsOwnKind)
{
    ComPtr<_AppointmentItem> appt = newAppointment();
    ComPtr<_ContactItem> contact = firstContact();
    ASSERT_TRUE(appt && contact);
    ComPtr<ISafeAppointmentItem> safeAppt;
    ComPtr<ISafeContactItem> safeContact;
    ASSERT_EQ(createSafe(CLSID_SafeAppointmentItem, IID_ISafeAppointmentItem, &safeAppt), S_OK);
    ASSERT_EQ(createSafe(CLSID_SafeContactItem, IID_ISafeContactItem, &safeContact), S_OK);
    EXPECT_LT(safeAppt->put_Item(contact.get()), 0);
    EXPECT_LT(safeContact->put_Item(appt.get()), 0);
    EXPECT_LT(safeAppt->put_Item(app_.get()), 0) << "the application is no item";
    EXPECT_EQ(safeAppt->put_Item(appt.get()), S_OK);
    EXPECT_EQ(safeContact->put_Item(contact.get()), S_OK);
}

TEST_F(SafeItemsOverServer, StoredContactIsExportedWhole)
{
    ComPtr<_ContactItem> contact = firstContact();
    ASSERT_TRUE(contact);
    ComPtr<ISafeContactItem> safe;
    ASSERT_EQ(createSafe(CLSID_SafeContactItem, IID_ISafeContactItem, &safe), S_OK);
    ASSERT_EQ(safe->put_Item(contact.get()), S_OK);

    // An unsaved change is part of what is exported.
    BstrArg title(u"Chief Builder");
    ASSERT_EQ(contact->put_JobTitle(title.b), S_OK);

    const std::string vcf = (dir_ / "bob.vcf").string(), msgPath = (dir_ / "bob.msg").string();
    BstrArg vcfPath(pim::redemption::toUtf16(vcf).c_str()), msgArg(pim::redemption::toUtf16(msgPath).c_str());
    ASSERT_EQ(safe->SaveAs(vcfPath.b, i4(olVCard)), S_OK);
    ASSERT_EQ(safe->SaveAs(msgArg.b, i4(olMSG)), S_OK);

    const std::string text = pimtest::readFile(vcf);
    EXPECT_EQ(text.rfind("BEGIN:VCARD\r\nVERSION:3.0\r\n", 0), 0u);
    for (const char* expected : {"FN:Bob Builder\r\n", "X-HOBBY:bridges\r\n", "PHOTO;TYPE=JPEG;ENCODING=b:/9j/",
                                 "EMAIL;TYPE=INTERNET:bob@build.er\r\n", "TITLE:Chief Builder\r\n"})
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;

    ASSERT_TRUE(pimtest::olefileRuns());
    const auto r = pimtest::runCommand(
        "/usr/bin/python3 -c \"import olefile,sys; o=olefile.OleFileIO(sys.argv[1]); "
        "[print(o.openstream('__substg1.0_%s' % t).read().decode('utf-16-le')) "
        "for t in ('001A001F', '3001001F', '3A06001F', '3A11001F', '3A16001F', '3A17001F')]\" " +
        pimtest::shellQuote(msgPath));
    EXPECT_EQ(r.out, "IPM.Contact\nBob Builder\nBob\nBuilder\nBuild Co\nChief Builder\n");
}
