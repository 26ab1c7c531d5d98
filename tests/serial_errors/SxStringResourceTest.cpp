// The "STR0" reader on the tables built into the program and on hand-made blobs.

#include "serial/errors/SxErrors.h"
#include "serial/errors/SxStringResource.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <vector>

using namespace sx;

namespace {

void Put32(std::vector<uint8_t>& b, uint32_t v)
{
    for (int k = 0; k < 4; ++k) b.push_back(static_cast<uint8_t>(v >> (8 * k)));
}

void Set32(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    for (int k = 0; k < 4; ++k) b[at + k] = static_cast<uint8_t>(v >> (8 * k));
}

// A table laid out as the reader expects, entries in the order given.
std::vector<uint8_t> Blob(const std::vector<std::pair<int32_t, std::u16string>>& entries)
{
    std::vector<uint8_t> b = {'S', 'T', 'R', '0'};
    Put32(b, static_cast<uint32_t>(entries.size()));
    uint32_t off = 8 + 12 * static_cast<uint32_t>(entries.size());
    for (const auto& [id, text] : entries) {
        Put32(b, static_cast<uint32_t>(id));
        Put32(b, off);
        Put32(b, static_cast<uint32_t>(text.size()));
        off += 2 * static_cast<uint32_t>(text.size());
    }
    for (const auto& e : entries)
        for (char16_t u : e.second) {
            b.push_back(static_cast<uint8_t>(u));
            b.push_back(static_cast<uint8_t>(u >> 8));
        }
    return b;
}

// Resources held in memory; each can be made to fail loading or mapping.
class TestModule : public TSxResourceModule {
public:
    struct Res {
        std::vector<uint8_t> Bytes;
        bool FailLoad = false;
        bool FailLock = false;
    };
    std::map<std::string, Res> Items;
    mutable int Locked = 0;

    bool Find(const std::string& name) const override { return Items.count(name) != 0; }
    bool Load(const std::string& name) const override { return !Items.at(name).FailLoad; }
    TSxResourceData Lock(const std::string& name) const override
    {
        const Res& r = Items.at(name);
        if (r.FailLock) return {};
        ++Locked;
        return {r.Bytes.data(), r.Bytes.size()};
    }
    void Unlock(const std::string& name) const override
    {
        (void)name;
        --Locked;
    }
};

std::string ReaderError(const TestModule& m, const std::string& name)
{
    try {
        TSxStringResource r(m, name);
    } catch (const EKvlStringResourceError& e) {
        return e.Message();
    }
    return "(no error)";
}

} // namespace

TEST(SxStringResource, LinkedTablesCarryTheTextsOfTheirSource)
{
    // Every row of the readable source table comes back through the binary search, unchanged.
    struct Source {
        const char* Table;
        const TSxStringResource& Reader;
    };
    for (const Source& s : {Source{"SXSTRMGR_STRINGS", SxReaderStrings()},
                            Source{"SERX_ERROR_STRINGS_ENGLISH", SxErrorStrings()}}) {
        std::ifstream in(std::string(SX_STRINGS_DIR) + "/" + s.Table + ".txt");
        ASSERT_TRUE(in) << s.Table;
        std::string line;
        size_t rows = 0;
        while (std::getline(in, line)) {
            if (line.empty() || line[0] == '#') continue;
            const size_t q = line.find('"');
            const int id = std::stoi(line.substr(0, q));
            const std::string text = line.substr(q + 1, line.rfind('"') - q - 1);
            EXPECT_EQ(s.Reader.GetString(id), text) << s.Table << " " << id;
            ++rows;
        }
        EXPECT_EQ(s.Reader.Count(), rows) << s.Table;
    }
    EXPECT_EQ(SxErrorStrings().GetString(4306), "Connected at %d baud");
    EXPECT_EQ(SxErrorStrings().GetString(9005), "Specified port is not valid");
    EXPECT_EQ(SxErrorStrings().GetString(15601), "DCTS ");
    EXPECT_EQ(SxErrorStrings().GetString(15501), "Time      Type      SubType       Data      OtherData");
}

TEST(SxStringResource, MissingIdsAreEmptyOrRaiseWhenAsked)
{
    TestModule m;
    m.Items["T"].Bytes = Blob({{-5, u"minus"}, {0, u"zero"}, {7, u"seven"}});
    TSxStringResource r(m, "T");
    EXPECT_EQ(r.GetString(-5), "minus");
    EXPECT_EQ(r.GetString(7), "seven");
    for (int32_t id : {-6, 1, 6, 8, INT32_MIN, INT32_MAX}) EXPECT_EQ(r.GetString(id), "") << id;
    r.RaiseOnMissing = true;
    try {
        r.GetString(4711);
        ADD_FAILURE() << "not raised";
    } catch (const EKvlStringResourceError& e) {
        EXPECT_EQ(e.Message(), "String not found: 4711");
    }
    EXPECT_EQ(m.Locked, 0) << "every mapping is released, also when raising";
}

TEST(SxStringResource, TextsAreConvertedFromUtf16ToCp1252)
{
    TestModule m;
    m.Items["T"].Bytes = Blob({{1, u"Gr\u00FC\u00DFe \u20AC"}, {2, u"\u4E2D"}, {3, u""}});
    TSxStringResource r(m, "T");
    EXPECT_EQ(r.GetString(1), "Gr\xFC\xDF" "e \x80");
    EXPECT_EQ(r.GetString(2), "?");
    EXPECT_EQ(r.GetString(3), "");
}

TEST(SxStringResource, EachReaderFailureHasItsMessage)
{
    TestModule m;
    m.Items["good"].Bytes = Blob({{1, u"a"}});
    m.Items["noload"] = {Blob({{1, u"a"}}), true, false};
    m.Items["nolock"] = {Blob({{1, u"a"}}), false, true};
    m.Items["magic"].Bytes = Blob({{1, u"a"}});
    m.Items["magic"].Bytes[3] = '1';
    m.Items["short"].Bytes = {'S', 'T', 'R'};
    // Entry count larger than the data.
    m.Items["count"].Bytes = Blob({{1, u"a"}});
    Set32(m.Items["count"].Bytes, 4, 0x20000000);
    // A text running past the end.
    m.Items["text"].Bytes = Blob({{1, u"a"}, {2, u"b"}});
    Set32(m.Items["text"].Bytes, 8 + 12 + 8, 100);
    // Offsets near 2^32 must not wrap around into range.
    m.Items["wrap"].Bytes = Blob({{1, u"a"}});
    Set32(m.Items["wrap"].Bytes, 8 + 4, 0xFFFFFFFE);
    // Ids out of order would hide entries from the search.
    m.Items["order"].Bytes = Blob({{2, u"b"}, {1, u"a"}});

    EXPECT_EQ(ReaderError(m, "good"), "(no error)");
    EXPECT_EQ(ReaderError(m, "absent"), "String resource not found: absent");
    EXPECT_EQ(ReaderError(m, "noload"), "Unable to open string resource: noload");
    EXPECT_EQ(ReaderError(m, "nolock"), "Cannot lock resource");
    for (const char* bad : {"magic", "short", "count", "text", "wrap", "order"})
        EXPECT_EQ(ReaderError(m, bad), "Invalid KVString resource") << bad;
    // A resource name is inserted as text, never used as a format.
    EXPECT_EQ(ReaderError(m, "%s%d%n"), "String resource not found: %s%d%n");
    EXPECT_EQ(m.Locked, 0);
}

TEST(SxStringResource, ALookupAfterTheDataChangedIsRejected)
{
    TestModule m;
    m.Items["T"].Bytes = Blob({{1, u"a"}, {2, u"b"}});
    TSxStringResource r(m, "T");
    m.Items["T"].FailLock = true;
    EXPECT_THROW(r.GetString(1), EKvlStringResourceError);
    m.Items["T"].FailLock = false;
    m.Items["T"].Bytes.resize(10);
    EXPECT_THROW(r.GetString(1), EKvlStringResourceError);
}

namespace sx::res {
extern const uint8_t GOOD_TABLE[];
extern const std::size_t GOOD_TABLE_Size;
}

TEST(SxStringResource, GeneratorKeepsEscapesBlanksAndLetters)
{
    TestModule m;
    m.Items["GOOD"].Bytes.assign(sx::res::GOOD_TABLE, sx::res::GOOD_TABLE + sx::res::GOOD_TABLE_Size);
    TSxStringResource r(m, "GOOD");
    EXPECT_EQ(r.Count(), 6u);
    EXPECT_EQ(r.GetString(1), "say \"hi\"");
    EXPECT_EQ(r.GetString(2), "back\\slash");
    EXPECT_EQ(r.GetString(3), "  two blanks  ");
    EXPECT_EQ(r.GetString(4), "Gr\xFC\xDF" "e \x80"); // UTF-8 source, cp1252 result
    EXPECT_EQ(r.GetString(-7), "negative");
    // An empty text is there, but reads like a missing one.
    r.RaiseOnMissing = true;
    EXPECT_EQ(r.GetString(5), "");
    EXPECT_THROW(r.GetString(6), EKvlStringResourceError);
}
