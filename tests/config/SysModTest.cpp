#include "tests/config/ConfigFixture.h"

#include <fcntl.h>
#include <future>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "config/SysMod.h"
#include "config/VamUtils.h"

namespace {

// The remainder of the data, read as one polynomial (first byte highest), divided by x^16+x^12+x^5+1: bit by bit
// long division, independent of the register form CalcCrc uses.
uint16_t PolynomialRemainder(const std::string& data) {
    uint16_t rem = 0;
    for (unsigned char c : data) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool top = (rem & 0x8000) != 0;
            rem = uint16_t((rem << 1) | ((c >> bit) & 1));
            if (top) rem ^= 0x1021;
        }
    }
    return rem;
}

std::string Pattern(std::size_t size) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i) s[i] = char((i * 7 + 3) & 0xFF);
    return s;
}

class SysModTest : public ConfigFixture {};

} // namespace

TEST(VamUtils, CrcIsThePlainPolynomialRemainder) {
    EXPECT_EQ(CalcCrc16("abc"), 0x1EE4);
    EXPECT_EQ(CalcCrc16("123456789"), 0xBEEF);
    EXPECT_EQ(CalcCrc16(""), 0);
    for (const std::string& data : {std::string(1, '\0'), std::string("\xFF\xFF\xFF"), Pattern(256), Pattern(1040)})
        EXPECT_EQ(CalcCrc16(data), PolynomialRemainder(data)) << data.size();
}

TEST(VamUtils, DisplayTexts) {
    EXPECT_EQ(EscapedText("  \x02" "a\x01" "b\xFC\x7F \r\n"), "a~01~b~FC~\x7F");
    EXPECT_EQ(FilteredText("a-b_Z 9{/:"), "ab_Z9:");
    EXPECT_EQ(HexText(std::string("\x00\xAB\x10", 3)), "00AB10");
    EXPECT_EQ(HexText(""), "");
}

TEST(SysModFile, FileNamesAndChecksum) {
    TSysMod m;
    EXPECT_EQ(m.FileName, "CLEAR.smb");
    EXPECT_EQ(m.ModuleName, "CLEAR");
    EXPECT_EQ(m.Path, "");
    m.SetFileName("T:\\d\\modul");
    EXPECT_EQ(m.Path, "T:\\d\\modul");
    EXPECT_EQ(m.FileName, "modul.smb");
    EXPECT_EQ(m.ModuleName, "modul");
    m.SetFileName("a.b.c");
    EXPECT_EQ(m.FileName, "a.b.c");
    EXPECT_EQ(m.ModuleName, "a");
    EXPECT_EQ(m.Path, "T:\\d\\modul"); // a name without a directory keeps the path

    EXPECT_EQ(m.CheckSum(), -1);
    EXPECT_EQ(m.StoredChecksum(), 65535);

    std::vector<std::string> got;
    auto collect = [&got](const std::string& t) { got.push_back(t); };
    m.Hook1(&m, collect, collect, 0);
    m.Hook2(&m, collect, nullptr, 0);
    EXPECT_EQ(got, (std::vector<std::string>{"nicht gelinkt!!", "nicht gelinkt!!", "nicht gelinkt!!"}));
}

TEST(SysModFile, LoadReadsAtMost1040Bytes) {
    TestDrive drive('T');
    struct Case {
        std::size_t size;
        bool complete;
        int32_t read;
    };
    for (const Case& c : {Case{0, false, 0}, Case{1039, false, 1039}, Case{1040, true, 1040}, Case{5000, true, 1040}}) {
        const std::string content = Pattern(c.size);
        drive.Put("m.smb", content);
        TSysMod m;
        m.Image.fill(0x55);
        EXPECT_EQ(m.LoadFromFile("T:\\m.smb"), c.complete) << c.size;
        EXPECT_EQ(m.BytesRead, c.read) << c.size;
        for (std::size_t i = 0; i < SysModImageSize; ++i) {
            const uint8_t want = i < std::size_t(c.read) ? uint8_t(content[i]) : 0x55; // the rest keeps its bytes
            ASSERT_EQ(m.Image[i], want) << "size " << c.size << " offset " << i;
        }
        EXPECT_EQ(m.Crc, CalcCrc16(m.Image.data(), m.Image.size()));
        EXPECT_EQ(m.FileName, "m.smb");
    }
    TSysMod missing;
    EXPECT_FALSE(missing.LoadFromFile("T:\\fehlt.smb"));
    EXPECT_EQ(missing.BytesRead, 0);
}

TEST(SysModFile, LoadFromAPipeWithoutWriterDoesNotWait) {
    TestDrive drive('T');
    drive.MakeDir("d");
    const std::string host = drive.HostOf("d/pipe.smb");
    ASSERT_EQ(::mkfifo(host.c_str(), 0600), 0);
    TSysMod m;
    m.Image.fill(0x55);
    auto load = std::async(std::launch::async, [&m] { return m.LoadFromFile("T:\\d\\pipe.smb"); });
    const bool finished = load.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    if (!finished) {
        // Give the waiting open its writer, so that the test can end.
        const int w = ::open(host.c_str(), O_WRONLY | O_NONBLOCK);
        if (w >= 0) ::close(w);
    }
    const bool complete = load.get();
    ASSERT_TRUE(finished) << "the load waited for a writer";
    EXPECT_FALSE(complete);
    EXPECT_EQ(m.BytesRead, 0);
    EXPECT_EQ(m.Image[0], 0x55);
}

TEST_F(SysModTest, ReloadWithoutDefaultFile) {
    PutProgramIni();
    Start();
    StartSysMod();
    TSysMod* m = SysModule();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->Image[0], 10);
    EXPECT_EQ(m->Image[1], 2);
    for (std::size_t i = 2; i < SysModChecksumOffset; ++i) ASSERT_EQ(m->Image[i], 0) << i;
    EXPECT_EQ(m->StoredChecksum(), 11);
    EXPECT_EQ(m->Crc, CalcCrc16(m->Image.data(), m->Image.size()));
    EndSysMod();
    EXPECT_EQ(SysModule(), nullptr);
}

TEST_F(SysModTest, ReloadFromTheDefaultFileStampsAndSums) {
    PutProgramIni();
    Start();
    ToolIni().WriteString("files", "DefaultFile", "modul.smb");
    const std::string content = Pattern(1040);
    drive.Put("tools/files/modul.smb", content);
    StartSysMod();
    TSysMod* m = SysModule();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->DefaultModuleName, "modul");
    EXPECT_EQ(m->BytesRead, 1040);
    EXPECT_EQ(m->FileName, "modul.smb");
    EXPECT_EQ(m->Path, "T:\\tools\\files\\modul.smb");
    EXPECT_EQ(m->HeaderWord1(), 522);
    EXPECT_EQ(m->HeaderWord2(), 0);
    uint32_t sum = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < SysModChecksumOffset; ++i) sum += m->Image[i];
    EXPECT_EQ(m->StoredChecksum(), uint16_t(sum));
    EXPECT_EQ(m->Image[100], uint8_t(content[100]));
    EXPECT_EQ(m->Crc, CalcCrc16(m->Image.data(), m->Image.size()));
    EndSysMod();
}

TEST_F(SysModTest, DefaultFileThatCannotBeOpenedDoesNotStopTheStart) {
    PutProgramIni();
    Start();
    ToolIni().WriteString("files", "DefaultFile", "sock.smb");
    drive.MakeDir("tools/files");
    // A socket exists as a file but cannot be opened for reading.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = drive.HostOf("tools/files/sock.smb");
    ASSERT_LT(path.size(), sizeof addr.sun_path);
    std::copy(path.begin(), path.end(), addr.sun_path);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_TRUE(plat::FileExists("T:\\tools\\files\\sock.smb"));

    EXPECT_NO_THROW(StartSysMod());
    ::close(fd);
    TSysMod* m = SysModule();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->BytesRead, 0);
    EXPECT_EQ(m->HeaderWord1(), 522);
    EXPECT_EQ(m->StoredChecksum(), 11);
    const auto lines = LogLines("tools/log/main.log");
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.find("sock.smb") != std::string::npos; }));
    EndSysMod();
}

TEST_F(SysModTest, NothingWithoutConfiguration) {
    StartConfiguration({"ini4zav", "/i=T:\\fehlt.ini"});
    StartSysMod();
    EXPECT_EQ(SysModule(), nullptr);
}
