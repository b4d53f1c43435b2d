// The read-only registry over a .reg file: value kinds, lookups, bad lines, reloads.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/registry_file.h"
#include "platform/win.h"
#include "support/log_capture.h"
#include "support/scoped_registry.h"

namespace {

const char* const SAMPLE =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "; the neuron ID\r\n"
    "[HKEY_LOCAL_MACHINE\\Quorvel]\r\n"
    "\"NID\"=hex:00,11,22,33,44,55\r\n"
    "\"Name\"=\"say \\\"hi\\\" \\\\ gr\xC3\xBC\xC3\x9F\"\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\DebugZones\\Deep]\r\n"
    "\"Quorvel\"=dword:00000017\r\n"
    "\"Long\"=hex:01,02,03,\\\r\n"
    "  04,05\r\n";

struct Value {
    win::LONG status;
    win::DWORD type;
    std::vector<win::BYTE> data;
};

Value Query(const wchar_t* key, const wchar_t* name, win::DWORD room = 64) {
    win::HKEY h = nullptr;
    Value v{win::RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, key, 0, win::KEY_READ, &h), 0, {}};
    if (v.status != win::ERROR_SUCCESS) return v;
    v.data.assign(room, 0xEE);
    v.status = win::RegQueryValueExW(h, name, nullptr, &v.type, v.data.data(), &room);
    v.data.resize(std::min<size_t>(room, v.data.size()));
    EXPECT_EQ(win::RegCloseKey(h), win::ERROR_SUCCESS);
    return v;
}

TEST(Registry, ReadsTheThreeValueKinds) {
    ScopedRegistry registry(SAMPLE);
    Value nid = Query(L"Quorvel", L"NID");
    EXPECT_EQ(nid.status, win::ERROR_SUCCESS);
    EXPECT_EQ(nid.type, win::REG_BINARY);
    EXPECT_EQ(nid.data, (std::vector<win::BYTE>{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}));

    Value mask = Query(L"DebugZones\\Deep", L"Quorvel");
    EXPECT_EQ(mask.type, win::REG_DWORD);
    EXPECT_EQ(mask.data, (std::vector<win::BYTE>{0x17, 0, 0, 0}));

    Value name = Query(L"Quorvel", L"Name");
    EXPECT_EQ(name.type, win::REG_SZ);
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(name.data.data())),
              L"say \"hi\" \\ gr\u00FC\u00DF");
    EXPECT_EQ(name.data.size(),
              (std::wstring(L"say \"hi\" \\ gr\u00FC\u00DF").size() + 1) * sizeof(wchar_t));

    EXPECT_EQ(Query(L"DebugZones\\Deep", L"Long").data, (std::vector<win::BYTE>{1, 2, 3, 4, 5}));
}

TEST(Registry, NamesIgnoreCaseAndParentsExist) {
    ScopedRegistry registry(SAMPLE);
    EXPECT_EQ(Query(L"QUORVEL", L"nid").status, win::ERROR_SUCCESS);
    win::HKEY parent = nullptr;
    ASSERT_EQ(win::RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, L"debugzones", 0, 0, &parent),
              win::ERROR_SUCCESS);
    win::HKEY child = nullptr;
    ASSERT_EQ(win::RegOpenKeyExW(parent, L"DEEP", 0, 0, &child), win::ERROR_SUCCESS);
    win::DWORD value = 0;
    win::DWORD size = sizeof value;
    EXPECT_EQ(win::RegQueryValueExW(child, L"Quorvel", nullptr, nullptr,
                                    reinterpret_cast<win::BYTE*>(&value), &size),
              win::ERROR_SUCCESS);
    EXPECT_EQ(value, 0x17u);
    EXPECT_EQ(win::RegCloseKey(child), win::ERROR_SUCCESS);
    EXPECT_EQ(win::RegCloseKey(parent), win::ERROR_SUCCESS);
}

TEST(Registry, MissingKeysValuesAndClosedKeys) {
    ScopedRegistry registry(SAMPLE);
    EXPECT_EQ(Query(L"Nothing", L"NID").status, win::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Query(L"Quorvel", L"Nothing").status, win::ERROR_FILE_NOT_FOUND);
    win::HKEY h = nullptr;
    ASSERT_EQ(win::RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, L"Quorvel", 0, 0, &h),
              win::ERROR_SUCCESS);
    ASSERT_EQ(win::RegCloseKey(h), win::ERROR_SUCCESS);
    win::DWORD size = 4;
    win::BYTE data[4];
    EXPECT_EQ(win::RegQueryValueExW(h, L"NID", nullptr, nullptr, data, &size),
              win::ERROR_INVALID_HANDLE);
    EXPECT_EQ(win::RegCloseKey(h), win::ERROR_INVALID_HANDLE);
}

TEST(Registry, SizesAndShortBuffers) {
    ScopedRegistry registry(SAMPLE);
    win::HKEY h = nullptr;
    ASSERT_EQ(win::RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, L"Quorvel", 0, 0, &h),
              win::ERROR_SUCCESS);
    win::DWORD size = 0;
    EXPECT_EQ(win::RegQueryValueExW(h, L"NID", nullptr, nullptr, nullptr, &size),
              win::ERROR_SUCCESS);
    EXPECT_EQ(size, 6u);
    // A short buffer gets the value's first bytes; the rest of it is untouched.
    win::BYTE data[6] = {9, 9, 9, 9, 9, 9};
    size = 4;
    EXPECT_EQ(win::RegQueryValueExW(h, L"NID", nullptr, nullptr, data, &size),
              win::ERROR_MORE_DATA);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(std::vector<win::BYTE>(data, data + 6),
              (std::vector<win::BYTE>{0x00, 0x11, 0x22, 0x33, 9, 9}));
    win::RegCloseKey(h);
}

TEST(Registry, MissingFileIsAnEmptyRegistry) {
    ScopedRegistry registry("");
    setenv("VELTRABOX_REGISTRY", (registry.Path() + ".absent").c_str(), 1);
    EXPECT_EQ(Query(L"Quorvel", L"NID").status, win::ERROR_FILE_NOT_FOUND);
}

TEST(Registry, ChangedFileIsReadAgain) {
    ScopedRegistry registry("[HKEY_LOCAL_MACHINE\\Quorvel]\n\"NID\"=hex:01\n");
    EXPECT_EQ(Query(L"Quorvel", L"NID").data, (std::vector<win::BYTE>{1}));
    registry.Write("[HKEY_LOCAL_MACHINE\\Quorvel]\n\"NID\"=hex:02,03\n");
    EXPECT_EQ(Query(L"Quorvel", L"NID").data, (std::vector<win::BYTE>{2, 3}));
}

// A snapshot of text reads its text, its bad lines skipped, and not the file. A handle's value is
// (generation << 16) | (slot + 1), and HKEY_LOCAL_MACHINE is that of the second slot in
// generation 0x8000: a key handed it would be read from the file and never closed. With every
// other slot held, snapshots go through all the second slot's generations.
TEST(Registry, NoKeyIsHandedTheValueOfTheRoot) {
    ScopedRegistry registry("");
    const std::string text = "[HKEY_LOCAL_MACHINE\\Quorvel]\n\"NID\"=hex:07\nbad line\n";
    auto open = [&text] {
        win::HKEY root = nullptr;
        EXPECT_EQ(win::RegOpenSnapshotOfText(text.data(), text.size(), &root), win::ERROR_SUCCESS);
        return root;
    };
    win::HKEY root = open();
    win::HKEY key = nullptr;
    ASSERT_EQ(win::RegOpenKeyExW(root, L"Quorvel", 0, win::KEY_READ, &key), win::ERROR_SUCCESS);
    win::BYTE nid = 0;
    win::DWORD size = sizeof nid;
    EXPECT_EQ(win::RegQueryValueExW(key, L"NID", nullptr, nullptr, &nid, &size),
              win::ERROR_SUCCESS);
    EXPECT_EQ(nid, 7);
    win::RegCloseKey(key);
    win::RegCloseKey(root);

    // Open until a slot is made anew: every slot before it is then held.
    std::vector<win::HKEY> held;
    win::HKEY second = nullptr;
    for (uintptr_t value = 0; value >> 16 != 1;) {
        held.push_back(open());
        value = reinterpret_cast<uintptr_t>(held.back());
        if ((value & 0xFFFF) == 2) second = held.back();
    }
    std::erase(held, second);
    if (second != nullptr) {
        win::RegCloseKey(second);
        for (int i = 0; i < 0x10000; ++i) {
            root = open();
            ASSERT_NE(root, win::HKEY_LOCAL_MACHINE) << "after " << i;
            win::RegCloseKey(root);
        }
    }
    for (win::HKEY h : held) win::RegCloseKey(h);
    if (second == nullptr) GTEST_SKIP() << "the second slot is held for good";
}

TEST(Registry, BadLinesAreReportedOnceAndSkipped) {
    ScopedRegistry registry(
        "\"Early\"=dword:1\n"              // 1: no key yet
        "[HKEY_LOCAL_MACHINE\\Quorvel]\n"  // 2
        "\"A\"=dword:123456789\n"          // 3: nine digits
        "\"B\"=hex:1,22\n"                 // 4: one digit
        "\"C\"=\"open\n"                   // 5: no closing quote
        "\"D\" dword:1\n"                  // 6: no '='
        "\"Good\"=dword:ff\n"              // 7
        "[-HKEY_LOCAL_MACHINE\\Gone]\n"    // 8: deletions are not supported
        "\"E\"=hex:01,\\\n"                // 9: continued ...
        "  zz\n"                           // 10: ... with a bad byte
        "\"F\"=\"x\" trailing\n");         // 11
    CaptureLog();
    Value good = Query(L"Quorvel", L"Good");
    Query(L"Quorvel", L"Good");
    std::string errors = CapturedLog();
    EXPECT_EQ(good.data, (std::vector<win::BYTE>{0xFF, 0, 0, 0}));
    for (int line : {1, 3, 4, 5, 6, 8, 9, 11}) {
        std::string tag = registry.Path() + ":" + std::to_string(line) + ":";
        EXPECT_NE(errors.find(tag), std::string::npos) << tag << " in\n" << errors;
        EXPECT_EQ(errors.find(tag), errors.rfind(tag)) << "reported twice: " << tag;
    }
    for (int line : {2, 7, 10}) {
        std::string tag = std::to_string(line);
        EXPECT_EQ(errors.find(':' + tag + ':'), std::string::npos) << errors;
    }
    // The key of a skipped key line takes no values.
    EXPECT_EQ(Query(L"Quorvel", L"E").status, win::ERROR_FILE_NOT_FOUND);
}

TEST(RegistryFile, ContinuedLinesCountFromTheirFirstLine) {
    std::vector<int> bad;
    auto tree = win::detail::ParseRegistryText(
        "[HKEY_LOCAL_MACHINE\\K]\n\"V\"=hex:01,\\\n02,\\\n03\n\"W\"=hex:0g\n",
        [&bad](int line, const char*) { bad.push_back(line); });
    EXPECT_EQ(bad, (std::vector<int>{5}));
    EXPECT_EQ(tree[L"hkey_local_machine\\k"][L"v"].Data, (std::vector<win::BYTE>{1, 2, 3}));
    EXPECT_TRUE(tree.contains(L"hkey_local_machine"));
}

TEST(RegistryFile, ByteOrderMarkAndDefaultValue) {
    auto tree =
        win::detail::ParseRegistryText("\xEF\xBB\xBF[HKEY_LOCAL_MACHINE\\K]\n@=\"default\"\n",
                                       [](int, const char*) { ADD_FAILURE(); });
    EXPECT_EQ(tree[L"hkey_local_machine\\k"][L""].Type, win::REG_SZ);
}

// A file as regedit exports it: UTF-16LE with a byte-order mark and CRLF line ends.
std::string Utf16File(std::u16string_view text) {
    std::string bytes = "\xFF\xFE";
    for (char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

std::wstring TextValue(const wchar_t* key, const wchar_t* name) {
    Value v = Query(key, name, 256);
    EXPECT_EQ(v.type, win::REG_SZ);
    return std::wstring(reinterpret_cast<const wchar_t*>(v.data.data()));
}

TEST(Registry, ReadsTheUtf16FileThatRegeditWrites) {
    // "Grüße €" and a character outside the BMP (U+1D11E, a surrogate pair in UTF-16).
    ScopedRegistry registry(
        Utf16File(u"Windows Registry Editor Version 5.00\r\n\r\n"
                  u"[HKEY_LOCAL_MACHINE\\DebugZones]\r\n"
                  u"\"Quorvel\"=dword:00000017\r\n"
                  u"\"Name\"=\"Gr\u00FC\u00DFe \u20AC \U0001D11E\"\r\n"));
    EXPECT_EQ(Query(L"DebugZones", L"Quorvel").data, (std::vector<win::BYTE>{0x17, 0, 0, 0}));
    EXPECT_EQ(TextValue(L"DebugZones", L"Name"), L"Gr\u00FC\u00DFe \u20AC \U0001D11E");
}

TEST(Registry, ReadsTheWindows1252FileOfRegedit4) {
    // 0xFC is u-umlaut; 0x80 is the euro sign in Windows-1252 (a control character in Latin-1).
    ScopedRegistry registry(
        "REGEDIT4\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\Quorvel]\r\n"
        "\"NID\"=hex:00,11,22,33,44,55\r\n"
        "\"Name\"=\"Gr\xFC\xDF"
        "e \x80\"\r\n");
    EXPECT_EQ(Query(L"Quorvel", L"NID").data,
              (std::vector<win::BYTE>{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}));
    EXPECT_EQ(TextValue(L"Quorvel", L"Name"), L"Gr\u00FC\u00DFe \u20AC");
}

TEST(RegistryFile, UndecodableBytesBecomeReplacementCharacters) {
    // A lone low surrogate and an odd last byte in UTF-16; 0x81 has no character in
    // Windows-1252. The lines around them still count.
    EXPECT_EQ(win::detail::DecodeRegistryText(Utf16File(u"a\xDC00"
                                                        u"b") +
                                              "c"),
              L"a\uFFFDb");
    EXPECT_EQ(win::detail::DecodeRegistryText("REGEDIT4\n\x81x"), L"REGEDIT4\n\uFFFDx");
}

}  // namespace
