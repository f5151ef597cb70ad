// Tests of the simulated registry beyond the platform cases (platform_cases.cpp): handles,
// fault switches and counters, the hive and its file.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "scratch_dir.h"
#include "sim_fixture.h"

namespace {

using namespace timeward_test;
namespace fs = std::filesystem;

class Registry : public SimTest {
  protected:
    fs::path Write(const std::string& name, const std::string& text) {
        fs::path p = dir_ / name;
        std::ofstream(p, std::ios::binary) << text;
        return p;
    }
    static std::string Read(const fs::path& p) {
        return timeward_test::ReadFile(p);
    }
    HKEY Open(const char16_t* path) {
        HKEY h = nullptr;
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &h), ERROR_SUCCESS);
        return h;
    }
    ScratchDir scratch_{"timeward-reg"};
    const fs::path dir_ = scratch_.path();
};

TEST_F(Registry, ClosedHandleOpensNothingAndIsNotCounted) {
    HKEY h = Open(u"SOFTWARE\\Orvex\\Timeward");
    EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
    HKEY sub;
    EXPECT_EQ(RegOpenKeyExW(h, u"Sub", 0, 0, &sub), ERROR_INVALID_HANDLE);
    EXPECT_EQ(coredll::reg::Counters().open_handles, 0u);
}

TEST_F(Registry, FaultSwitchesAndCounters) {
    coredll::reg::ResetCounters();
    coredll::reg::FailOpens(true);
    HKEY h;
    EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, 0, &h), ERROR_SUCCESS);
    coredll::reg::FailOpens(false);
    h = Open(u"SOFTWARE\\Orvex\\Timeward");
    DWORD v = 3;
    coredll::reg::FailSetOf("Bad");
    EXPECT_NE(RegSetValueExW(h, u"bad", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4),
              ERROR_SUCCESS);
    EXPECT_FALSE(coredll::reg::GetValue(kKey, "Bad"));
    EXPECT_EQ(RegSetValueExW(h, u"Good", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4),
              ERROR_SUCCESS);
    coredll::reg::FailFlushes(true);
    EXPECT_NE(RegFlushKey(h), ERROR_SUCCESS);
    coredll::reg::PowerCut();
    EXPECT_FALSE(coredll::reg::GetValue(kKey, "Good")) << "a failed flush persists nothing";
    coredll::RegCounters c = coredll::reg::Counters();
    EXPECT_EQ(c.opens, 2u);
    EXPECT_EQ(c.sets, 2u);
    EXPECT_EQ(c.flushes, 0u);
    EXPECT_EQ(c.open_handles, 1u);
    RegCloseKey(h);
}

TEST_F(Registry, HiveFileRoundTripsEveryType) {
    fs::path hive = Write("hive.reg",
                          "; a device\n"
                          "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Timeward]\n"
                          "\"Prefix\"=\"RTC\"\n"
                          "\"Order\"=DWORD:0000012c\n"  // keywords and the root in any case
                          "\"IClass\"=multi_sz:\"{A32942B7-920C-486b-B0E6-92A702A99B35}\",\"x\"\n"
                          "\"Blob\"=hex:01,02,\\\n"
                          "  ff\n"
                          "\"Odd\"=hex(8):00,01\n"
                          "@=\"quote \\\" and \\\\ and \xc3\xa9\"\n"
                          "[hkey_local_machine\\Empty]\n");
    std::string error;
    ASSERT_TRUE(coredll::reg::LoadHiveFile(hive, &error)) << error;
    EXPECT_EQ(coredll::reg::GetString("Drivers\\BuiltIn\\Timeward", "Prefix"), "RTC");
    EXPECT_EQ(coredll::reg::GetDword("Drivers\\BuiltIn\\Timeward", "Order"), 300u);
    EXPECT_EQ(coredll::reg::GetString("Drivers\\BuiltIn\\Timeward", ""),
              "quote \" and \\ and \xc3\xa9");
    std::optional<coredll::RegValue> blob =
        coredll::reg::GetValue("Drivers\\BuiltIn\\Timeward", "Blob");
    ASSERT_TRUE(blob);
    EXPECT_EQ(blob->data, (std::vector<BYTE>{1, 2, 0xff}));
    EXPECT_EQ(coredll::reg::GetValue("Drivers\\BuiltIn\\Timeward", "Odd")->type, 8u);
    EXPECT_TRUE(coredll::reg::KeyExists("Empty"));

    const std::string before = coredll::reg::ExportText();
    coredll::reg::Flush();
    std::string error2;
    coredll::Reset();
    ASSERT_TRUE(coredll::reg::LoadHiveFile(hive, &error2)) << error2;
    EXPECT_EQ(coredll::reg::ExportText(), before);
    EXPECT_FALSE(fs::exists(dir_ / "hive.reg.tmp"));
}

TEST_F(Registry, FlushWritesTheFileAndPowerCutKeepsOnlyWhatWasFlushed) {
    fs::path hive = Write("hive.reg", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvex\\Timeward]\n");
    ASSERT_TRUE(coredll::reg::LoadHiveFile(hive, nullptr));
    coredll::reg::SetDword(kKey, "A", 1);
    EXPECT_EQ(Read(hive).find("\"A\""), std::string::npos)
        << "nothing reaches the file before a flush";
    HKEY h = Open(u"SOFTWARE\\Orvex\\Timeward");
    EXPECT_EQ(RegFlushKey(h), ERROR_SUCCESS);
    RegCloseKey(h);
    EXPECT_NE(Read(hive).find("\"A\"=dword:00000001"), std::string::npos);
    coredll::reg::SetDword(kKey, "B", 2);
    coredll::reg::PowerCut();
    EXPECT_EQ(coredll::reg::GetDword(kKey, "A"), 1u);
    EXPECT_FALSE(coredll::reg::GetValue(kKey, "B"));
}

TEST_F(Registry, MalformedFilesNameTheLineAndChangeNothing) {
    struct Case {
        const char* text;
        const char* message;
    } cases[] = {
        {"\"A\"=dword:1\n", "bad.reg:1: expected a [key] line before the first value"},
        {"[HKEY_LOCAL_MACHINE\\K]\n\"A\"=dword:123456789\n",
         "bad.reg:2: expected dword: followed by 1 to 8 hex digits"},
        {"[HKEY_LOCAL_MACHINE\\K]\n\n\"A\"=dword:xyz\n",
         "bad.reg:3: expected dword: followed by 1 to 8 hex digits"},
        {"[HKEY_CURRENT_USER\\K]\n", "bad.reg:1: expected a key under HKEY_LOCAL_MACHINE"},
        {"[HKEY_LOCAL_MACHINE\\K\n", "bad.reg:1: expected a key line closed by ']'"},
        {"[HKEY_LOCAL_MACHINE\\K]\n\"A\"=\"open\n",
         "bad.reg:2: expected a string closed by \" (escape \\ and \" with \\)"},
        {"[HKEY_LOCAL_MACHINE\\K]\n\"A\"=hex:1,zz\n",
         "bad.reg:2: expected a hex byte (two hex digits)"},
        {"[HKEY_LOCAL_MACHINE\\K]\n\"A\"=dword:1 junk\n",
         "bad.reg:2: expected the end of the line after the value"},
        {"[HKEY_LOCAL_MACHINE\\K]\n\"A\" dword:1\n",
         "bad.reg:2: expected '=' after the value name"},
        {"[HKEY_LOCAL_MACHINE\\K]\nA=dword:1\n",
         "bad.reg:2: expected a value name in quotes, @, a [key] line or a ; comment"},
        {"[HKEY_LOCAL_MACHINE\\K]\n\"A\"=hex:01,\\\n",
         "bad.reg:2: expected a continuation line after '\\'"},
        {"[HKEY_LOCAL_MACHINE\\K]\n\"A\"=\"\xff\"\n", "bad.reg:2: expected UTF-8 text"},
        {"[HKEY_LOCAL_MACHINE\\K]\n\"A\"=word:1\n",
         "bad.reg:2: expected a value: \"string\", dword:, hex:, hex(N): or multi_sz:"},
    };
    coredll::reg::SetDword(kKey, "Keep", 9);
    coredll::reg::Flush();
    const std::string before = coredll::reg::ExportText();
    for (const Case& c : cases) {
        fs::path bad = Write("bad.reg", c.text);
        std::string error;
        EXPECT_FALSE(coredll::reg::LoadHiveFile(bad, &error)) << c.text;
        EXPECT_EQ(error, (dir_ / c.message).string()) << c.text;
        EXPECT_FALSE(coredll::reg::MergeRegFile(bad, &error));
        EXPECT_EQ(coredll::reg::ExportText(), before) << c.text;
    }
    std::string error;
    EXPECT_FALSE(coredll::reg::LoadHiveFile(dir_ / "absent.reg", &error));
    EXPECT_NE(error.find("absent.reg: cannot read"), std::string::npos) << error;
}

TEST_F(Registry, ExportedTextParsesBackToTheSameTree) {
    coredll::reg::SetValue("A\\B", "ctl", {REG_SZ, {'a', 0, '\n', 0, 0, 0}});  // not quotable
    coredll::reg::SetValue("A\\B", "odd", {REG_SZ, {'a'}});                    // odd length
    coredll::reg::SetValue("A\\B", "dw5", {REG_DWORD, {1, 2, 3, 4, 5}});
    coredll::reg::SetValue("A", "multi", {REG_MULTI_SZ, {'x', 0, 0, 0, 'y', 0, 0, 0, 0, 0}});
    coredll::reg::SetValue("A", "empty", {REG_BINARY, {}});
    const std::string text = coredll::reg::ExportText();
    fs::path p = Write("x.reg", text);
    coredll::Reset();
    std::string error;
    ASSERT_TRUE(coredll::reg::LoadHiveFile(p, &error)) << error << "\n" << text;
    EXPECT_EQ(coredll::reg::ExportText(), text);
    EXPECT_EQ(coredll::reg::GetValue("A\\B", "ctl")->data,
              (std::vector<BYTE>{'a', 0, '\n', 0, 0, 0}));
    EXPECT_EQ(coredll::reg::GetValue("A", "multi")->type, REG_MULTI_SZ);
}

}  // namespace
