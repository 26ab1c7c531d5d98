// Build-time tool: turns a readable string table into the binary "STR0" layout and writes it as a
// C++ byte array.
//
//   SxStrGen <table.txt> <out.cpp> <symbol>
//
// Input lines: <id> "<text>" (UTF-8; \" and \\ escape), '#' comments and blank lines skipped.
// Output layout (little-endian): "STR0", entry count, count x (id, text offset, text length in
// UTF-16 units) sorted by id, then the UTF-16LE texts one after another.

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

[[noreturn]] void Fail(const std::string& file, int line, const std::string& what)
{
    std::cerr << file << ":" << line << ": " << what << "\n";
    std::exit(1);
}

// UTF-8 to UTF-16; false on a malformed sequence.
bool Utf8ToUtf16(const std::string& in, std::u16string& out)
{
    out.clear();
    for (size_t i = 0; i < in.size();) {
        unsigned char c = static_cast<unsigned char>(in[i]);
        uint32_t cp;
        int extra;
        if (c < 0x80) { cp = c; extra = 0; }
        else if ((c & 0xE0) == 0xC0) { cp = c & 0x1F; extra = 1; }
        else if ((c & 0xF0) == 0xE0) { cp = c & 0x0F; extra = 2; }
        else if ((c & 0xF8) == 0xF0) { cp = c & 0x07; extra = 3; }
        else return false;
        if (i + extra >= in.size()) return false;
        for (int k = 1; k <= extra; ++k) {
            unsigned char cc = static_cast<unsigned char>(in[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        i += extra + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return true;
}

void Put32(std::vector<uint8_t>& b, uint32_t v)
{
    for (int k = 0; k < 4; ++k) b.push_back(static_cast<uint8_t>(v >> (8 * k)));
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::cerr << "usage: SxStrGen <table.txt> <out.cpp> <symbol>\n";
        return 2;
    }
    const std::string inName = argv[1], outName = argv[2], symbol = argv[3];
    std::ifstream in(inName, std::ios::binary);
    if (!in) Fail(inName, 0, "cannot open");

    std::map<int32_t, std::u16string> entries;
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t p = line.find_first_not_of(" \t");
        if (p == std::string::npos || line[p] == '#') continue;
        size_t idEnd = p;
        if (idEnd < line.size() && line[idEnd] == '-') ++idEnd;
        while (idEnd < line.size() && line[idEnd] >= '0' && line[idEnd] <= '9') ++idEnd;
        if (idEnd == p) Fail(inName, lineNo, "expected an id");
        long long id = std::stoll(line.substr(p, idEnd - p));
        if (id < INT32_MIN || id > INT32_MAX) Fail(inName, lineNo, "id out of range");
        size_t q = line.find_first_not_of(" \t", idEnd);
        if (q == std::string::npos || line[q] != '"') Fail(inName, lineNo, "expected a quoted text");
        std::string text;
        size_t i = q + 1;
        bool closed = false;
        for (; i < line.size(); ++i) {
            char c = line[i];
            if (c == '\\') {
                if (i + 1 >= line.size() || (line[i + 1] != '"' && line[i + 1] != '\\'))
                    Fail(inName, lineNo, "bad escape");
                text += line[++i];
            } else if (c == '"') {
                closed = true;
                break;
            } else {
                text += c;
            }
        }
        if (!closed) Fail(inName, lineNo, "unterminated text");
        if (line.find_first_not_of(" \t", i + 1) != std::string::npos) Fail(inName, lineNo, "text after the closing quote");
        std::u16string u;
        if (!Utf8ToUtf16(text, u)) Fail(inName, lineNo, "text is not UTF-8");
        if (!entries.emplace(static_cast<int32_t>(id), u).second) Fail(inName, lineNo, "duplicate id");
    }

    std::vector<uint8_t> blob = {'S', 'T', 'R', '0'};
    Put32(blob, static_cast<uint32_t>(entries.size()));
    uint32_t offset = 8 + 12 * static_cast<uint32_t>(entries.size());
    for (const auto& [id, text] : entries) {
        Put32(blob, static_cast<uint32_t>(id));
        Put32(blob, offset);
        Put32(blob, static_cast<uint32_t>(text.size()));
        offset += 2 * static_cast<uint32_t>(text.size());
    }
    for (const auto& [id, text] : entries)
        for (char16_t u : text) {
            blob.push_back(static_cast<uint8_t>(u & 0xFF));
            blob.push_back(static_cast<uint8_t>(u >> 8));
        }

    std::ostringstream out;
    out << "// Generated from " << inName << " by SxStrGen. Do not edit.\n"
        << "#include <cstddef>\n#include <cstdint>\n"
        << "namespace sx::res {\n"
        << "extern const uint8_t " << symbol << "[];\n"
        << "extern const std::size_t " << symbol << "_Size;\n"
        << "const uint8_t " << symbol << "[] = {";
    for (size_t k = 0; k < blob.size(); ++k) {
        if (k % 16 == 0) out << "\n   ";
        out << " " << static_cast<unsigned>(blob[k]) << ",";
    }
    out << "\n};\nconst std::size_t " << symbol << "_Size = " << blob.size() << ";\n}\n";

    std::ofstream o(outName, std::ios::binary | std::ios::trunc);
    o << out.str();
    if (!o.flush()) Fail(outName, 0, "cannot write");
    return 0;
}
