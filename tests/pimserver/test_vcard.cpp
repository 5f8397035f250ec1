// vCard reading and writing, checked against our own expectations and against
// an outside reader (Perl's Text::vCard) for what we write.
#include "../../pimserver/store/vcard.h"
#include "test_support.h"


using namespace pim::vcard;

namespace {

std::vector<std::string> splitLines(const std::string& s)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t i; (i = s.find("\r\n", start)) != std::string::npos; start = i + 2)
        lines.push_back(s.substr(start, i - start));
    EXPECT_EQ(start, s.size()) << "text does not end in CRLF";
    return lines;
}

bool validUtf8(const std::string& s)
{
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const std::size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (std::size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

std::size_t lineOfError(std::string_view text)
{
    try {
        parseCards(text);
    } catch (const ParseError& e) {
        EXPECT_NE(std::string(e.what()).find("line " + std::to_string(e.line())), std::string::npos) << e.what();
        return e.line();
    }
    ADD_FAILURE() << "no ParseError for:\n" << text;
    return 0;
}

}  // namespace

TEST(VcardRead, Version21QuotedPrintableCharsetAndBareTypes)
{
    const std::string text =
        "BEGIN:VCARD\r\n"
        "VERSION:2.1\r\n"
        "N;CHARSET=ISO-8859-1;ENCODING=QUOTED-PRINTABLE:M=FCller;J=FCrgen;;Dr.;\r\n"
        "FN;CHARSET=UTF-8;QUOTED-PRINTABLE:J=C3=BCrgen M=C3=BCller\r\n"
        "ORG:Smith\\; Sons;R&D, Europe\r\n"
        "TEL;WORK;VOICE:+49 30 1234\r\n"
        "EMAIL;INTERNET:j@example.de\r\n"
        "EMAIL;INTERNET;PREF:pref@example.de\r\n"
        "NOTE;ENCODING=QUOTED-PRINTABLE:first line=0D=0Asecond, with comma; and =\r\n"
        "semicolon=3D=\r\n"
        "end\r\n"
        "X-CUSTOM;FOO=bar:kept as is\r\n"
        "END:VCARD\r\n";
    const auto cards = parseCards(text);
    ASSERT_EQ(cards.size(), 1u);
    const Card& c = cards[0];
    EXPECT_EQ(c.version, "2.1");
    EXPECT_EQ(c.familyName(), "M\xC3\xBCller");
    EXPECT_EQ(c.givenName(), "J\xC3\xBCrgen");
    EXPECT_EQ(c.formattedName(), "J\xC3\xBCrgen M\xC3\xBCller");
    EXPECT_EQ(c.find("N")->components().at(3), "Dr.");
    EXPECT_EQ(c.organization(), "Smith; Sons");
    EXPECT_EQ(c.find("ORG")->components().at(1), "R&D, Europe");
    EXPECT_TRUE(c.find("TEL")->hasType("work"));
    EXPECT_TRUE(c.find("TEL")->hasType("VOICE"));
    EXPECT_EQ(c.emails(), (std::vector<std::string>{"pref@example.de", "j@example.de"}));
    EXPECT_EQ(c.find("NOTE")->text(), "first line\nsecond, with comma; and semicolon=end");
    // Neither the transfer encoding nor the charset survives decoding.
    EXPECT_EQ(c.find("NOTE")->param("ENCODING"), nullptr);
    EXPECT_EQ(c.find("N")->param("CHARSET"), nullptr);
    ASSERT_NE(c.find("X-CUSTOM"), nullptr);
    EXPECT_EQ(c.find("X-CUSTOM")->value, "kept as is");
    EXPECT_EQ(c.find("X-CUSTOM")->param("foo")->values.at(0), "bar");
}

TEST(VcardRead, Version21Base64PhotoOnUnindentedLines)
{
    const std::string text =
        "BEGIN:VCARD\nVERSION:2.1\nN:Doe;Jane\n"
        "PHOTO;JPEG;ENCODING=BASE64:\n"
        "    /9j/4AAQSkZJRgABAQEASABIAAD/\n"
        "2wBDAAMCAgMCAgMDAwMEAwMEBQgFBQQE\n"
        "BAUKBwcGCAwKDAwLCgsLDQ4SEA0OEQ4L==\n"
        "\n"
        "TEL;HOME:1\n"
        "END:VCARD\n";
    const auto cards = parseCards(text);
    ASSERT_EQ(cards.size(), 1u);
    const Property* photo = cards[0].find("PHOTO");
    ASSERT_NE(photo, nullptr);
    EXPECT_TRUE(photo->isBinary());
    EXPECT_TRUE(photo->hasType("JPEG"));
    EXPECT_EQ(photo->value, "/9j/4AAQSkZJRgABAQEASABIAAD/2wBDAAMCAgMCAgMDAwMEAwMEBQgFBQQEBAUKBwcGCAwKDAwLCgsLDQ4SEA0OEQ4L==");
    ASSERT_NE(cards[0].find("TEL"), nullptr);
    EXPECT_TRUE(cards[0].find("TEL")->hasType("HOME"));

    const std::string out = writeCard(cards[0]);
    EXPECT_NE(out.find("PHOTO;TYPE=JPEG;ENCODING=b:/9j/"), std::string::npos) << out;
}

TEST(VcardRead, Version30FoldingGroupsEscapesAndSeveralCards)
{
    const std::string text =
        "\xEF\xBB\xBF"
        "BEGIN:VCARD\r\nVERSION:3.0\r\n"
        "FN:Anna\r\n  Berg\r\n"
        "N:Berg;Anna;;;\r\n"
        "item1.EMAIL;TYPE=\"INTERNET,WORK\":anna@exa\r\n\tmple.org\r\n"
        "item1.X-ABLabel:_$!<Work>!$_\r\n"
        "NOTE:a\\, b\\; c\\\\d\\ne\r\n"
        "CATEGORIES:friends,work\r\n"
        "END:VCARD\r\n"
        "\r\n"
        "begin:vcard\r\nversion:3.0\r\nfn:Second\r\nn:;Second;;;\r\nend:vcard\r\n";
    const auto cards = parseCards(text);
    ASSERT_EQ(cards.size(), 2u);
    const Card& a = cards[0];
    EXPECT_EQ(a.formattedName(), "Anna Berg");
    const Property* mail = a.find("EMAIL");
    ASSERT_NE(mail, nullptr);
    EXPECT_EQ(mail->group, "item1");
    EXPECT_EQ(mail->text(), "anna@example.org");
    EXPECT_TRUE(mail->hasType("work"));
    EXPECT_EQ(a.find("X-ABLABEL")->group, "item1");
    EXPECT_EQ(a.find("NOTE")->text(), "a, b; c\\d\ne");
    EXPECT_EQ(a.find("CATEGORIES")->value, "friends,work");
    EXPECT_EQ(cards[1].givenName(), "Second");
    EXPECT_EQ(cards[1].formattedName(), "Second");
}

TEST(VcardRead, Version40DataUriPhotoCaretParamsAndPref)
{
    const std::string text =
        "BEGIN:VCARD\r\nVERSION:4.0\r\n"
        "FN:Zoë\r\n"
        "EMAIL;TYPE=home:home@example.net\r\n"
        "EMAIL;PREF=1;TYPE=work:work@example.net\r\n"
        "ADR;LABEL=\"Line one^nLine ^'two^'\";TYPE=work:;;1 Main St;Town;;12345;Land\r\n"
        "PHOTO:data:image/png;base64,iVBORw0KGgo=\r\n"
        "END:VCARD\r\n";
    const auto cards = parseCards(text);
    ASSERT_EQ(cards.size(), 1u);
    const Card& c = cards[0];
    EXPECT_EQ(c.emails(), (std::vector<std::string>{"work@example.net", "home@example.net"}));
    EXPECT_EQ(c.find("ADR")->param("LABEL")->values.at(0), "Line one\nLine \"two\"");
    EXPECT_EQ(c.find("ADR")->components().at(3), "Town");

    // 3.0 readers want inline base64, not a data: URI.
    const std::string out = writeCard(c);
    EXPECT_NE(out.find("PHOTO;TYPE=PNG;ENCODING=b:iVBORw0KGgo=\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("VERSION:3.0\r\n"), std::string::npos);
    EXPECT_EQ(out.find("VERSION:4.0"), std::string::npos);
}

TEST(VcardRead, MalformedInputNamesTheLine)
{
    EXPECT_EQ(lineOfError("BEGIN:VCARD\r\nVERSION:3.0\r\nFN:x\r\nno colon here\r\nEND:VCARD\r\n"), 4u);
    EXPECT_EQ(lineOfError("BEGIN:VCARD\r\nVERSION:3.0\r\nFN:x\r\n"), 1u);
    EXPECT_EQ(lineOfError("FN:outside\r\n"), 1u);
    EXPECT_EQ(lineOfError("BEGIN:VCARD\nVERSION:2.1\nNOTE;QUOTED-PRINTABLE:bad =ZZ escape\nEND:VCARD\n"), 3u);
    EXPECT_EQ(lineOfError("BEGIN:VCARD\nVERSION:2.1\nN;CHARSET=NO-SUCH-SET:x\nEND:VCARD\n"), 3u);
    EXPECT_EQ(lineOfError("BEGIN:VCARD\nVERSION:3.0\nFN;TYPE=\"open:x\nEND:VCARD\n"), 3u);
    EXPECT_EQ(lineOfError("BEGIN:VCARD\nVERSION:3.0\nPHOTO;ENCODING=b:abc$def\nEND:VCARD\n"), 3u);
    EXPECT_EQ(lineOfError("BEGIN:VCARD\nVERSION:3.0\nBAD NAME:x\nEND:VCARD\n"), 3u);
    EXPECT_EQ(lineOfError("BEGIN:VCARD\nEND:VCARD\nEND:VCARD\n"), 3u);
    EXPECT_EQ(lineOfError("BEGIN:VCALENDAR\nEND:VCALENDAR\n"), 1u);
    // Folded continuation lines keep the number of the line they start on.
    EXPECT_EQ(lineOfError("BEGIN:VCARD\nVERSION:3.0\nFN:a\n b\nX-BAD;=v:1\nEND:VCARD\n"), 5u);
}

TEST(VcardWrite, FoldsAt75OctetsWithoutSplittingCharacters)
{
    Card c;
    c.addStructured("N", {"Ünïcødé", "Ναταλία", "", "", ""});
    std::string longNote;
    for (int i = 0; i < 40; ++i) longNote += "日本語テキスト, ünd ";
    c.add("NOTE", longNote + "\nlast line");
    c.add("FN", "Ναταλία Ünïcødé");
    const std::string out = writeCard(c);
    for (const std::string& line : splitLines(out)) {
        EXPECT_LE(line.size(), 75u) << line;
        EXPECT_TRUE(validUtf8(line)) << "a fold split a character: " << line;
    }
    const auto back = parseCards(out);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].find("NOTE")->text(), longNote + "\nlast line");
    EXPECT_EQ(back[0].givenName(), "Ναταλία");
}

TEST(VcardWrite, RoundTripKeepsEveryPropertyAndOrder)
{
    const std::string text =
        "BEGIN:VCARD\r\nVERSION:2.1\r\n"
        "N:Doe;John;Q.;Mr.;Jr.\r\n"
        "FN:John Doe\r\n"
        "ORG:Acme, Inc.;Widgets\r\n"
        "ADR;WORK;ENCODING=QUOTED-PRINTABLE:;;Street 1=0D=0AFloor 2;City;;999;Country\r\n"
        "X-MS-OL-DEFAULT-POSTAL-ADDRESS:2\r\n"
        "X-ANDROID-CUSTOM;CHARSET=UTF-8:vnd.android.cursor.item/nickname;JD;1\r\n"
        "a.URL:http://example.com/a,b;c\r\n"
        "REV:20240101T000000Z\r\n"
        "END:VCARD\r\n";
    const Card first = parseCards(text).at(0);
    const std::string out = writeCard(first);
    const Card second = parseCards(out).at(0);
    ASSERT_EQ(second.properties.size(), first.properties.size()) << out;
    for (std::size_t i = 0; i < first.properties.size(); ++i) {
        EXPECT_EQ(second.properties[i].group, first.properties[i].group);
        EXPECT_EQ(second.properties[i].name, first.properties[i].name);
        EXPECT_EQ(second.properties[i].value, first.properties[i].value);
    }
    EXPECT_EQ(second.organization(), "Acme, Inc.");
    EXPECT_EQ(second.find("ADR")->components().at(2), "Street 1\nFloor 2");
    // Unknown properties and URIs are kept byte for byte.
    EXPECT_EQ(second.find("X-ANDROID-CUSTOM")->value, "vnd.android.cursor.item/nickname;JD;1");
    EXPECT_EQ(second.find("URL")->value, "http://example.com/a,b;c");
    // A third pass changes nothing: the output is stable.
    EXPECT_EQ(writeCard(second), out);
}

// Found by fuzz_vcf_import: a 4.0 data: URI whose payload is not base64 was written as
// ENCODING=b, which the reader refuses, so the import of the whole file failed on that one card.
TEST(VcardWrite, DataUriThatIsNotBase64StaysAUri)
{
    const std::string text =
        "BEGIN:VCARD\r\nVERSION:4.0\r\nFN:Bob\r\n"
        "PHOTO:data:image/png;base64,iVBORw0K\":;;Main St. 1;Town\r\n"
        "LOGO:data:image/gif;base64,R0lGOD+/lh=\r\n"
        "END:VCARD\r\n";
    const std::string out = writeCard(parseCards(text).at(0));
    EXPECT_NE(out.find("PHOTO:data:image/png;base64,iVBORw0K\":;;Main St. 1;Town\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("LOGO;TYPE=GIF;ENCODING=b:R0lGOD+/lh=\r\n"), std::string::npos) << out;
    const auto back = parseCards(out);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].find("PHOTO")->value, "data:image/png;base64,iVBORw0K\":;;Main St. 1;Town");
}

// Found by fuzz_vcf_import: after a base64 photo, the reader took an unindented line without a
// colon for more base64, as 2.1 writes it; in 3.0 that line is the start of the next property,
// folded before its colon, as our writer folds a long parameter.
TEST(VcardRead, UnindentedBase64ContinuesOnlyIn21)
{
    Card c;
    Property& photo = c.add("PHOTO", "");
    photo.params.push_back({"ENCODING", {"b"}});
    photo.value = "iVBORw0KGgo=";
    Property& adr = c.add("ADR", "x");
    adr.params.push_back({"LABEL", {std::string(90, 'L')}});
    const std::string out = writeCard(c);
    const auto back = parseCards(out);
    ASSERT_EQ(back.size(), 1u) << out;
    EXPECT_EQ(back[0].find("PHOTO")->value, "iVBORw0KGgo=");
    ASSERT_NE(back[0].find("ADR"), nullptr) << out;
    EXPECT_EQ(back[0].find("ADR")->param("LABEL")->values.at(0), std::string(90, 'L'));
}

TEST(VcardWrite, AddsRequiredNamesAndSanitisesValues)
{
    Card c;
    c.add("EMAIL", "only@example.com");
    c.add("NOTE", std::string("bad \xFF byte"));
    Property& p = c.add("X-PARAMS", "v");
    p.params.push_back({"X-Q", {"has;semi:colon", "quote\"less"}});
    const std::string out = writeCard(c);
    EXPECT_NE(out.find("\r\nFN:only@example.com\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\r\nN:;;;;\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("NOTE:bad \xEF\xBF\xBD byte"), std::string::npos);
    EXPECT_NE(out.find("X-PARAMS;X-Q=\"has;semi:colon\",quoteless:v"), std::string::npos) << out;
    EXPECT_EQ(parseCards(out).at(0).find("X-PARAMS")->param("X-Q")->values.at(0), "has;semi:colon");
}

TEST(VcardWrite, OutsideReaderAcceptsWhatWeWrite)
{
    ASSERT_TRUE(pimtest::perlVcardRuns());
    pimtest::TempDir dir;
    Card a;
    a.addStructured("N", {"O'Brien", "Seán", "", "Dr.", ""});
    a.add("FN", "Dr. Seán O'Brien");
    a.addStructured("ORG", {"Smith, Jones; Partners", "Legal"});
    a.add("EMAIL", "sean@example.ie").params.push_back({"TYPE", {"INTERNET", "PREF"}});
    a.add("EMAIL", "other@example.ie");
    a.add("X-UNKNOWN-THING", "survives");
    std::string note;
    for (int i = 0; i < 12; ++i) note += "Ünïcode note text that is long enough to fold, ";
    a.add("NOTE", note);
    Card b;
    b.addStructured("N", {"Two", "Card", "", "", ""});
    b.add("FN", "Card Two");
    pimtest::writeFile(dir / "cards.vcf", writeCards({a, b}));

    const std::string script =
        "use strict; use Text::vCard::Addressbook; binmode STDOUT, ':encoding(UTF-8)';"
        "my $ab = Text::vCard::Addressbook->new({source_file => $ARGV[0]});"
        "for my $v ($ab->vcards) {"
        "  my $n = $v->get({node_type => 'name'})->[0];"
        "  print 'FN=', $v->fullname, \"\\n\", 'FAMILY=', $n->family, \"\\n\", 'GIVEN=', $n->given, \"\\n\";"
        "  for my $o (@{$v->get('org') || []}) { print 'ORG=', $o->name, \"\\n\"; }"
        "  for my $e (@{$v->get('email') || []}) { print 'EMAIL=', $e->value, \"\\n\"; }"
        "  for my $x (@{$v->get('x-unknown-thing') || []}) { print 'X=', $x->value, \"\\n\"; }"
        "  for my $x (@{$v->get('note') || []}) { print 'NOTE=', $x->value, \"\\n\"; }"
        "}";
    const std::string expected = "FN=Dr. Seán O'Brien\nFAMILY=O'Brien\nGIVEN=Seán\n"
                                 "ORG=Smith, Jones; Partners\n"
                                 "EMAIL=sean@example.ie\nEMAIL=other@example.ie\n"
                                 "X=survives\n"
                                 "NOTE=" + note + "\n"
                                 "FN=Card Two\nFAMILY=Two\nGIVEN=Card\n";
    EXPECT_EQ(pimtest::readWith("/usr/bin/perl -e", script, dir / "cards.vcf"), expected);
}

TEST(VcardRead, DamagedInputFailsCleanlyOrParses)
{
    const std::string sample =
        "BEGIN:VCARD\r\nVERSION:2.1\r\nN;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:A=C3=A9;B=\r\n C\r\n"
        "PHOTO;ENCODING=BASE64;JPEG:\r\n QUJD\r\nREVG\r\n\r\nitem1.X-Y;\"q\"=\"a:b\":v\\;w\r\n"
        "BEGIN:VCARD\r\nFN:nested\r\nEND:VCARD\r\nEND:VCARD\r\n";
    std::size_t parsed = 0, rejected = 0;
    const auto attempt = [&](const std::string& text) {
        try {
            for (const Card& c : parseCards(text)) {
                parseCards(writeCard(c));  // whatever we accept, we write readable
            }
            ++parsed;
        } catch (const ParseError&) {
            ++rejected;
        }
    };
    for (std::size_t cut = 0; cut <= sample.size(); ++cut) attempt(sample.substr(0, cut));
    std::uint32_t x = 12345;
    for (int round = 0; round < 2000; ++round) {
        std::string damaged = sample;
        for (int k = 0; k < 3; ++k) {
            x = x * 1103515245u + 12345u;
            damaged[(x >> 8) % damaged.size()] = static_cast<char>(x >> 24);
        }
        attempt(damaged);
    }
    EXPECT_GT(parsed, 0u);
    EXPECT_GT(rejected, 0u);
}
