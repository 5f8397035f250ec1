// The safe items over the server's own items: recipients reach the store when
// the appointment is saved, Resolve looks in the contacts folder, and a stored
// contact is exported whole.
#include "redemption_module.h"
#include "store.h"
#include "test_support.h"

#include <Outlook.h>
#include <objbase.h>

extern "C" HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);

using pimtest::Bstr;
using pimtest::get;
using pimtest::text16;

namespace {

const char* kBob =
    "BEGIN:VCARD\r\nVERSION:3.0\r\nN:Builder;Bob;;;\r\nFN:Bob Builder\r\nORG:Build Co\r\n"
    "EMAIL;TYPE=INTERNET:bob@build.er\r\nX-HOBBY:bridges\r\n"
    "PHOTO;TYPE=JPEG;ENCODING=b:/9j/4AAQSkZJRgABAQEASABIAAD/\r\nEND:VCARD\r\n";

template <class T>
HRESULT createSafe(REFCLSID clsid, REFIID iid, ComPtr<T>* out)
{
    ComPtr<IClassFactory> f;
    HRESULT hr = DllGetClassObject(clsid, IID_IClassFactory, f.put_void());
    return FAILED(hr) ? hr : f->CreateInstance(nullptr, iid, out->put_void());
}

struct Person {
    std::u16string name, address;
    LONG type;
    bool operator==(const Person&) const = default;
};

class SafeItemsOverServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        pim::store::Store::Options o;
        o.create = true;
        store(o)->addContact(kBob);
        store()->addContact("BEGIN:VCARD\r\nVERSION:3.0\r\nN:Twin;A;;;\r\nFN:Twin\r\nEMAIL:a@twin\r\nEND:VCARD\r\n");
        store()->addContact("BEGIN:VCARD\r\nVERSION:3.0\r\nN:Twin;B;;;\r\nFN:Twin\r\nEMAIL:b@twin\r\nEND:VCARD\r\n");
        env_.set("PIM_STORE", storePath_);
        ComPtr<IClassFactory> f;
        ASSERT_EQ(DllGetClassObject(CLSID_OutlookApplication, IID_IClassFactory, f.put_void()), S_OK);
        ASSERT_EQ(f->CreateInstance(nullptr, IID__Application, app_.put_void()), S_OK);
    }
    void TearDown() override
    {
        app_.reset();
        CoUninitialize();
        EXPECT_EQ(pim::redemption::liveObjects(), 0);
    }
    std::unique_ptr<pim::store::Store> store(pim::store::Store::Options o = {}) { return pim::store::Store::open(storePath_, o); }

    ComPtr<_AppointmentItem> newAppointment()
    {
        ComPtr<IDispatch> d;
        EXPECT_EQ(app_->CreateItem(olAppointmentItem, d.put()), S_OK);
        auto a = pimtest::query<_AppointmentItem>(d.get(), IID__AppointmentItem);
        if (a) {
            a->put_Subject(Bstr(u"Planning").b);
            a->put_Start(46000.5);
            a->put_End(46000.5 + 1.0 / 24);
        }
        return a;
    }
    ComPtr<_NameSpace> session()
    {
        ComPtr<_NameSpace> ns;
        EXPECT_EQ(app_->GetNamespace(Bstr(u"MAPI").b, ns.put()), S_OK);
        return ns;
    }
    ComPtr<_ContactItem> firstContact()
    {
        ComPtr<MAPIFolder> folder;
        EXPECT_EQ(session()->GetDefaultFolder(olFolderContacts, folder.put()), S_OK);
        ComPtr<_Items> items;
        EXPECT_EQ(folder->get_Items(items.put()), S_OK);
        ComPtr<IDispatch> first;
        EXPECT_EQ(items->GetFirst(first.put()), S_OK);
        return pimtest::query<_ContactItem>(first.get(), IID__ContactItem);
    }
    // The recipients of an item seen through a new safe appointment item.
    ComPtr<ISafeRecipients> recipientsOf(IDispatch* item)
    {
        ComPtr<ISafeAppointmentItem> safe;
        ComPtr<ISafeRecipients> r;
        EXPECT_EQ(createSafe(CLSID_SafeAppointmentItem, IID_ISafeAppointmentItem, &safe), S_OK);
        EXPECT_EQ(safe->put_Item(item), S_OK);
        EXPECT_EQ(safe->get_Recipients(r.put()), S_OK);
        return r;
    }
    static ComPtr<ISafeRecipient> add(ISafeRecipients* r, const char16_t* name)
    {
        ComPtr<ISafeRecipient> one;
        EXPECT_EQ(r->Add(Bstr(name).b, one.put()), S_OK);
        return one;
    }
    static VARIANT_BOOL resolve(ISafeRecipient* r)
    {
        VARIANT_BOOL ok = 0x1234;
        EXPECT_EQ(r->Resolve(VARIANT_FALSE, &ok), S_OK);
        return ok;
    }
    static std::vector<Person> people(ISafeRecipients* r)
    {
        std::vector<Person> out;
        for (LONG i = 1, n = get(r, &ISafeRecipients::get_Count); i <= n; ++i) {
            ComPtr<ISafeRecipient> one;
            EXPECT_EQ(r->Item(i, one.put()), S_OK);
            out.push_back({text16(one.get(), &ISafeRecipient::get_Name), text16(one.get(), &ISafeRecipient::get_Address),
                           get(one.get(), &ISafeRecipient::get_Type)});
        }
        return out;
    }

    pimtest::TempDir dir_;
    pimtest::Env env_;
    std::string storePath_ = dir_.str("store.db");
    ComPtr<_Application> app_;
};

}  // namespace

TEST_F(SafeItemsOverServer, RecipientsResolveAndReachTheStoreOnSave)
{
    ComPtr<_AppointmentItem> appt = newAppointment();
    ASSERT_TRUE(appt);
    auto recipients = recipientsOf(appt.get());
    ASSERT_TRUE(recipients);
    auto bob = add(recipients.get(), u"Bob Builder"), twin = add(recipients.get(), u"Twin"),
         nobody = add(recipients.get(), u"nobody@else.org");
    ASSERT_TRUE(bob && twin && nobody);
    EXPECT_EQ(resolve(bob.get()), VARIANT_TRUE);
    EXPECT_EQ(resolve(twin.get()), VARIANT_FALSE) << "two contacts share the name";
    EXPECT_EQ(resolve(nobody.get()), VARIANT_FALSE);
    EXPECT_EQ(nobody->put_Address(Bstr(u"nobody@else.org").b), S_OK);
    EXPECT_EQ(nobody->put_Type(olOptional), S_OK);
    EXPECT_EQ(recipients->Remove(2), S_OK);

    EXPECT_EQ(store()->count(pim::store::Folder::Calendar), 0u) << "nothing reaches the store before Save";
    ASSERT_EQ(appt->Save(), S_OK);
    {
        auto s = store();
        const auto keys = s->keys(pim::store::Folder::Calendar);
        ASSERT_EQ(keys.size(), 1u);
        const std::string ical = s->get(keys[0])->data;
        EXPECT_NE(ical.find("mailto:bob@build.er"), std::string::npos) << ical;
        EXPECT_NE(ical.find("mailto:nobody@else.org"), std::string::npos) << ical;
        EXPECT_EQ(ical.find("Twin"), std::string::npos) << ical;
    }
    // A new safe item over the same appointment sees what was saved.
    EXPECT_EQ(people(recipientsOf(appt.get()).get()),
              (std::vector<Person>{{u"Bob Builder", u"bob@build.er", olRequired}, {u"nobody@else.org", u"nobody@else.org", olOptional}}));
}

// The adapter writes -1 for attendee types the application has no word for; whatever was put
// must read back the same from the store, not as a required attendee.
TEST_F(SafeItemsOverServer, AnyRecipientTypeSurvivesTheStore)
{
    ComPtr<_AppointmentItem> appt = newAppointment();
    ASSERT_TRUE(appt);
    {
        auto recipients = recipientsOf(appt.get());
        ASSERT_TRUE(recipients);
        for (const auto& [name, type] : {std::pair{u"Dana", -1}, {u"Eli", 7}, {u"Fay", int(olOptional)}})
            ASSERT_EQ(add(recipients.get(), name)->put_Type(type), S_OK);
        ASSERT_EQ(appt->Save(), S_OK);
    }
    VARIANT noStore;
    VariantInit(&noStore);
    ComPtr<IDispatch> fresh;
    ASSERT_EQ(session()->GetItemFromID(Bstr(text16(appt.get(), &_AppointmentItem::get_EntryID)).b, noStore, fresh.put()), S_OK);
    std::vector<LONG> types;
    for (const Person& p : people(recipientsOf(fresh.get()).get())) types.push_back(p.type);
    EXPECT_EQ(types, (std::vector<LONG>{-1, 7, olOptional}));
}

TEST_F(SafeItemsOverServer, ResolvingByASecondAddressKeepsThatAddress)
{
    store()->addContact("BEGIN:VCARD\r\nVERSION:3.0\r\nN:Two;Gil;;;\r\nFN:Gil Two\r\nEMAIL:gil@work.example\r\n"
                        "EMAIL:gil@home.example\r\nEND:VCARD\r\n");
    ComPtr<_AppointmentItem> appt = newAppointment();
    ASSERT_TRUE(appt);
    auto recipients = recipientsOf(appt.get());
    ASSERT_TRUE(recipients);
    for (const auto& [name, expected] : {std::pair{u"gil@home.example", u"gil@home.example"}, {u"Gil Two", u"gil@work.example"}}) {
        auto r = add(recipients.get(), name);
        EXPECT_EQ(resolve(r.get()), VARIANT_TRUE);
        EXPECT_EQ(text16(r.get(), &ISafeRecipient::get_Address), expected);
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

    // An unsaved change is part of what is exported. The .msg is made from the same text the link gives
    // (ContactExport.MsgTypeWritesAMessageFileOthersFail; its fields MessageFile's tests).
    ASSERT_EQ(contact->put_JobTitle(Bstr(u"Chief Builder").b), S_OK);
    ASSERT_EQ(safe->SaveAs(Bstr(dir_.str("bob.vcf")).b, pimtest::i4(olVCard)), S_OK);

    const std::string text = pimtest::readFile(dir_ / "bob.vcf");
    EXPECT_EQ(text.rfind("BEGIN:VCARD\r\nVERSION:3.0\r\n", 0), 0u);
    for (const char* expected : {"FN:Bob Builder\r\n", "X-HOBBY:bridges\r\n", "PHOTO;TYPE=JPEG;ENCODING=b:/9j/",
                                 "EMAIL;TYPE=INTERNET:bob@build.er\r\n", "TITLE:Chief Builder\r\n"})
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
}
