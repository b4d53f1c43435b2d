#include "registry_file.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cwctype>
#include <optional>

#include "utf8.h"

namespace win::detail {

namespace {

constexpr wchar_t REPLACEMENT_CHARACTER = 0xFFFD;

std::wstring_view Trim(std::wstring_view s) {
    while (!s.empty() && std::iswspace(s.front())) s.remove_prefix(1);
    while (!s.empty() && std::iswspace(s.back())) s.remove_suffix(1);
    return s;
}

int HexValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// Reads a quoted text with the escapes \\ and \" from the start of `s`; `s` then holds what
// follows the closing quote.
std::optional<std::wstring> TakeQuoted(std::wstring_view& s) {
    if (s.empty() || s.front() != L'"') return std::nullopt;
    std::wstring text;
    for (size_t i = 1; i < s.size(); ++i) {
        if (s[i] == L'"') {
            s.remove_prefix(i + 1);
            return text;
        }
        if (s[i] == L'\\' && i + 1 < s.size() && (s[i + 1] == L'\\' || s[i + 1] == L'"')) ++i;
        text.push_back(s[i]);
    }
    return std::nullopt;
}

std::optional<RegistryValue> ParseDword(std::wstring_view s) {
    if (s.empty() || s.size() > 8) return std::nullopt;
    DWORD value = 0;
    for (wchar_t c : s) {
        int digit = HexValue(c);
        if (digit < 0) return std::nullopt;
        value = (value << 4) | static_cast<DWORD>(digit);
    }
    RegistryValue result{REG_DWORD, std::vector<BYTE>(4)};
    for (int i = 0; i < 4; ++i) result.Data[static_cast<size_t>(i)] = BYTE(value >> (8 * i));
    return result;
}

// "00,11,22" with blanks allowed around the bytes and one trailing comma.
std::optional<RegistryValue> ParseHex(std::wstring_view s) {
    RegistryValue result{REG_BINARY, {}};
    s = Trim(s);
    while (!s.empty()) {
        size_t comma = s.find(L',');
        std::wstring_view byte = Trim(s.substr(0, comma));
        if (byte.size() != 2 || HexValue(byte[0]) < 0 || HexValue(byte[1]) < 0) {
            return std::nullopt;
        }
        result.Data.push_back(BYTE(HexValue(byte[0]) * 16 + HexValue(byte[1])));
        s = comma == std::wstring_view::npos ? std::wstring_view() : Trim(s.substr(comma + 1));
    }
    return result;
}

std::optional<RegistryValue> ParseString(std::wstring_view s) {
    std::optional<std::wstring> text = TakeQuoted(s);
    if (!text || !Trim(s).empty()) return std::nullopt;
    RegistryValue result{REG_SZ, std::vector<BYTE>((text->size() + 1) * sizeof(wchar_t))};
    std::copy_n(reinterpret_cast<const BYTE*>(text->c_str()), result.Data.size(),
                result.Data.begin());
    return result;
}

std::optional<RegistryValue> ParseData(std::wstring_view s) {
    if (s.starts_with(L"dword:")) return ParseDword(s.substr(6));
    if (s.starts_with(L"hex:")) return ParseHex(s.substr(4));
    return ParseString(s);
}

class Parser {
  public:
    explicit Parser(const std::function<void(int, const char*)>& report) : report_(report) {}

    // One logical line (continuations already joined) that starts at line `number`.
    void Line(int number, std::wstring_view line) {
        line = Trim(line);
        if (line.empty() || line.front() == L';' || line == L"REGEDIT4" ||
            line.starts_with(L"Windows Registry Editor Version ")) {
            return;
        }
        if (line.front() == L'[') return Key(number, line);
        if (!key_) return report_(number, "value outside a key");
        std::wstring name;
        if (line.front() == L'@') {
            line.remove_prefix(1);
        } else {
            std::optional<std::wstring> quoted = TakeQuoted(line);
            if (!quoted) return report_(number, "bad value name");
            name = *quoted;
        }
        line = Trim(line);
        if (line.empty() || line.front() != L'=') return report_(number, "missing '='");
        std::optional<RegistryValue> value = ParseData(Trim(line.substr(1)));
        if (!value) return report_(number, "bad value data");
        (*key_)[FoldName(name)] = std::move(*value);
    }

    RegistryTree Finish() { return std::move(tree_); }

  private:
    void Key(int number, std::wstring_view line) {
        key_ = nullptr;
        if (line.back() != L']' || line.size() < 3 || line[1] == L'-' || line[1] == L'\\' ||
            line[line.size() - 2] == L'\\' || line.find(L"\\\\") != std::wstring_view::npos) {
            return report_(number, "bad key");
        }
        std::wstring path = FoldName(line.substr(1, line.size() - 2));
        for (size_t slash = path.find(L'\\'); slash != std::wstring::npos;
             slash = path.find(L'\\', slash + 1)) {
            tree_[path.substr(0, slash)];
        }
        key_ = &tree_[path];
    }

    const std::function<void(int, const char*)>& report_;
    RegistryTree tree_;
    RegistryKey* key_ = nullptr;
};

// Converts `bytes` from the iconv encoding `from`, whose units are `unit` bytes long. A unit
// that does not convert becomes U+FFFD; an incomplete last unit is dropped.
std::wstring Convert(std::string_view bytes, const char* from, size_t unit) {
    iconv_t converter = iconv_open("WCHAR_T", from);
    if (converter == reinterpret_cast<iconv_t>(-1)) return WidenUtf8(bytes);
    // Every unit of both encodings gives at most one wide character.
    std::wstring wide(bytes.size(), L'\0');
    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    char* out = reinterpret_cast<char*>(wide.data());
    size_t outLeft = wide.size() * sizeof(wchar_t);
    while (inLeft >= unit &&
           iconv(converter, &in, &inLeft, &out, &outLeft) == static_cast<size_t>(-1) &&
           errno == EILSEQ) {
        *reinterpret_cast<wchar_t*>(out) = REPLACEMENT_CHARACTER;
        out += sizeof(wchar_t);
        outLeft -= sizeof(wchar_t);
        in += unit;
        inLeft -= unit;
    }
    iconv_close(converter);
    wide.resize(wide.size() - outLeft / sizeof(wchar_t));
    return wide;
}

}  // namespace

std::wstring DecodeRegistryText(std::string_view bytes) {
    if (bytes.starts_with("\xFF\xFE")) return Convert(bytes.substr(2), "UTF-16LE", 2);
    if (bytes.starts_with("REGEDIT4")) return Convert(bytes, "WINDOWS-1252", 1);
    if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
    return WidenUtf8(bytes);
}

std::wstring FoldName(std::wstring_view name) {
    std::wstring folded(name);
    for (wchar_t& c : folded) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return folded;
}

RegistryTree ParseRegistryText(std::string_view bytes,
                               const std::function<void(int, const char*)>& report) {
    std::wstring wide = DecodeRegistryText(bytes);
    Parser parser(report);
    std::wstring logical;
    bool continuing = false;
    int start = 0;
    int number = 0;
    size_t pos = 0;
    while (pos < wide.size()) {
        size_t end = std::min(wide.find(L'\n', pos), wide.size());
        std::wstring_view line(wide.data() + pos, end - pos);
        pos = end + 1;
        ++number;
        if (!continuing) {
            start = number;
            logical.clear();
        }
        std::wstring_view part = continuing ? Trim(line) : line;
        std::wstring_view trimmed = Trim(part);
        // A line ending in a backslash goes on in the next one (long hex values).
        continuing = !trimmed.empty() && trimmed.back() == L'\\';
        if (continuing) part = part.substr(0, part.find_last_of(L'\\'));
        logical += part;
        if (!continuing) parser.Line(start, logical);
    }
    if (continuing) parser.Line(start, logical);
    return parser.Finish();
}

}  // namespace win::detail
