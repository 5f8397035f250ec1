// .vcf import into the store and export out of it.
#include "../../pimserver/redemption/contacts_io.h"
#include "../../pimserver/store/vcard.h"
#include "test_support.h"

using namespace pim;

namespace {

const char* kMixedFile =
    "BEGIN:VCARD\r\n"                                           // 1
    "VERSION:2.1\r\n"                                           // 2
    "N:Meier;Hans\r\n"                                          // 3
    "FN:Hans Meier\r\n"                                         // 4
    "EMAIL;INTERNET:hans@meier.ch\r\n"                          // 5
    "NOTE;ENCODING=QUOTED-PRINTABLE:Gr=C3=BC=C3=9Fe=0D=0Azweite Zeile\r\n"  // 6
    "PHOTO;JPEG;ENCODING=BASE64:\r\n"                           // 7
    "    /9j/4AAQSkZJRgABAQEASABIAAD/\r\n"                      // 8
    "    2wBDAAMCAgMCAgMDAwMEAwMEBQgFBQQE\r\n"                  // 9
    "\r\n"                                                      // 10
    "END:VCARD\r\n"                                             // 11
    "BEGIN:VCARD\r\n"                                           // 12
    "VERSION:3.0\r\n"                                           // 13
    "FN:Broken\r\n"                                             // 14
    "this line has no colon\r\n"                                // 15
    "END:VCARD\r\n"                                             // 16
    "BEGIN:VCARD\r\n"                                           // 17
    "VERSION:3.0\r\n"                                           // 18
    "N:Rossi;Giulia;;;\r\n"                                     // 19
    "FN:Giulia\r\n"                                             // 20
    "  Rossi\r\n"                                               // 21
    "X-SOCIALPROFILE;TYPE=twitter:https://twitter.com/giulia\r\n"  // 22
    "EMAIL;TYPE=INTERNET:giulia@rossi.it\r\n"                   // 23
    "END:VCARD\r\n"                                             // 24
    "BEGIN:VCARD\r\n"                                           // 25
    "VERSION:4.0\r\n"                                           // 26
    "KIND:group\r\n"                                            // 27
    "FN:Team\r\n"                                               // 28
    "MEMBER:mailto:hans@meier.ch\r\n"                           // 29
    "END:VCARD\r\n";                                            // 30

class ContactsIo : public ::testing::Test {
protected:
    pimtest::TempDir dir_;
    std::unique_ptr<store::Store> store_ = store::Store::open(dir_.str("pim.store"), store::Store::Options{true, 10000});
};

}  // namespace

TEST_F(ContactsIo, ImportsEveryReadableCardAndNamesTheBadOne)
{
    std::vector<std::pair<std::size_t, std::size_t>> calls;
    const auto r = contacts::importVcf(*store_, kMixedFile, [&](std::size_t done, std::size_t total) {
        calls.emplace_back(done, total);
        return true;
    });
    EXPECT_EQ(r.imported, 3u);
    EXPECT_EQ(r.skipped, 1u);
    EXPECT_FALSE(r.cancelled);
    ASSERT_EQ(r.errors.size(), 1u);
    EXPECT_EQ(r.errors[0].rfind("line 15: ", 0), 0u) << r.errors[0];
    EXPECT_EQ(calls, (std::vector<std::pair<std::size_t, std::size_t>>{{1, 3}, {2, 3}, {3, 3}}));
    EXPECT_EQ(store_->count(store::Folder::Contacts), 3u);

    const auto hans = store_->findContactsByName("Hans", "Meier");
    ASSERT_EQ(hans.size(), 1u);
    const auto rec = store_->get(hans[0]);
    ASSERT_TRUE(rec);
    const vcard::Card stored = vcard::parseCards(rec->data).at(0);
    EXPECT_EQ(stored.version, "3.0");
    EXPECT_EQ(stored.find("NOTE")->text(), "Grüße\nzweite Zeile");
    ASSERT_NE(stored.find("PHOTO"), nullptr);
    EXPECT_EQ(stored.find("PHOTO")->value, "/9j/4AAQSkZJRgABAQEASABIAAD/2wBDAAMCAgMCAgMDAwMEAwMEBQgFBQQE");
    EXPECT_EQ(store_->resolve("giulia@rossi.it").size(), 1u);

    std::size_t lists = 0;
    for (auto key : store_->keys(store::Folder::Contacts))
        if (store_->get(key)->kind == store::Kind::DistList) ++lists;
    EXPECT_EQ(lists, 1u);
}

TEST_F(ContactsIo, CancelledImportLeavesTheStoreAsItWas)
{
    store_->addContact("BEGIN:VCARD\r\nVERSION:3.0\r\nN:Old;One;;;\r\nFN:One Old\r\nEND:VCARD\r\n");
    const auto r = contacts::importVcf(*store_, kMixedFile, [](std::size_t done, std::size_t) { return done < 2; });
    EXPECT_TRUE(r.cancelled);
    EXPECT_EQ(r.imported, 0u);
    EXPECT_EQ(store_->count(store::Folder::Contacts), 1u);
}

TEST_F(ContactsIo, ExportKeepsUnknownPropertiesAndReadsBackOutside)
{
    contacts::importVcf(*store_, kMixedFile);
    const std::string text = contacts::exportVcf(*store_);
    const auto cards = vcard::parseCards(text);
    ASSERT_EQ(cards.size(), 3u);
    for (const auto& c : cards) EXPECT_EQ(c.version, "3.0");
    EXPECT_EQ(cards[1].find("X-SOCIALPROFILE")->value, "https://twitter.com/giulia");
    EXPECT_TRUE(cards[1].find("X-SOCIALPROFILE")->hasType("twitter"));
    EXPECT_EQ(cards[2].find("MEMBER")->value, "mailto:hans@meier.ch");

    ASSERT_TRUE(contacts::exportVcfFile(*store_, (dir_ / "out.vcf").string()));
    EXPECT_EQ(pimtest::readFile(dir_ / "out.vcf"), text);

    ASSERT_TRUE(pimtest::perlVcardRuns());
    EXPECT_EQ(pimtest::readWith("/usr/bin/perl -MText::vCard::Addressbook -e",
                                "binmode STDOUT, q(:encoding(UTF-8)); "
                                "print $_->fullname, qq(\\n) for Text::vCard::Addressbook->new({source_file => $ARGV[0]})->vcards",
                                dir_ / "out.vcf"),
              "Hans Meier\nGiulia Rossi\nTeam\n");
}

TEST_F(ContactsIo, FailedExportLeavesNoFile)
{
    store_->addContact("BEGIN:VCARD\r\nVERSION:3.0\r\nN:A;B;;;\r\nFN:B A\r\nEND:VCARD\r\n");
    EXPECT_THROW(contacts::exportVcfFile(*store_, (dir_ / "missing" / "x.vcf").string()), store::StoreError);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "missing"));

    // A cancelled export writes nothing, not even a partial file.
    store_->addContact("BEGIN:VCARD\r\nVERSION:3.0\r\nN:C;D;;;\r\nFN:D C\r\nEND:VCARD\r\n");
    EXPECT_FALSE(contacts::exportVcfFile(*store_, (dir_ / "x.vcf").string(),
                                         [](std::size_t, std::size_t) { return false; }));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "x.vcf"));
    for (const auto& e : std::filesystem::directory_iterator(dir_.path()))
        EXPECT_NE(e.path().filename().string().rfind("x.vcf", 0), 0u) << e.path();
    EXPECT_THROW(contacts::importVcfFile(*store_, (dir_ / "nope.vcf").string()), store::StoreError);
}
