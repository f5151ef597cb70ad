// Tests of the Timeward module as the Device Manager loads, drives and unloads it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "elf_symbols.h"
#include "module_fixture.h"
#include "scratch_dir.h"

namespace {

using namespace timeward_test;
namespace fs = std::filesystem;

std::set<std::string> DefExports() {
    std::set<std::string> names;
    std::stringstream s(TIMEWARD_DEF_EXPORTS);
    for (std::string name; std::getline(s, name, ',');)
        names.insert(name);
    return names;
}

TEST(ModuleFile, ExportsExactlyTheTenEntryPoints) {
    const std::set<std::string> ten = {"RTC_Init",    "RTC_Deinit",   "RTC_Open", "RTC_Close",
                                       "RTC_Read",    "RTC_Write",    "RTC_Seek", "RTC_IOControl",
                                       "RTC_PowerUp", "RTC_PowerDown"};
    EXPECT_EQ(DefExports(), ten) << "Timeward.def";
    DynamicInfo info;
    ASSERT_TRUE(ReadDynamicInfo(TIMEWARD_MODULE_FILE, &info));
    EXPECT_EQ(info.defined, ten);
}

TEST(ModuleFile, NeedsNoCppRuntime) {
    DynamicInfo info;
    ASSERT_TRUE(ReadDynamicInfo(TIMEWARD_MODULE_FILE, &info));
    EXPECT_TRUE(info.needed.count("libcoredll.so"));
    for (const std::string& lib : info.needed) {
        EXPECT_EQ(lib.find("stdc++"), std::string::npos) << lib;
        EXPECT_EQ(lib.find("libgcc_s"), std::string::npos) << lib;
    }
}

class Driver : public ModuleTest {};

TEST_F(Driver, LoadTurnsOffThreadNotificationsForItsOwnHandle) {
    HMODULE h = LoadLibraryW(u"Timeward.dll");
    ASSERT_NE(h, nullptr);
    std::vector<HMODULE> disabled = coredll::modules::ThreadCallsDisabled();
    ASSERT_EQ(disabled.size(), 1u);
    EXPECT_EQ(disabled[0], h);
    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_FALSE(coredll::modules::IsLoaded(u"Timeward.dll"));
}

TEST_F(Driver, LoadFailsWhenDllMainRefusesTheAttach) {
    coredll::modules::SetSearchPath(TIMEWARD_TEST_MODULE_DIR);
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(u"Refusing.dll"), nullptr);
    EXPECT_EQ(GetLastError(), 1114u) << "ERROR_DLL_INIT_FAILED";
    EXPECT_FALSE(coredll::modules::IsLoaded(u"Refusing.dll"));
    EXPECT_EQ(coredll::debug::Texts(),
              (std::vector<std::string>{"attach refused\r\n", "detach\r\n"}));
}

TEST_F(Driver, DeviceManagerActivatesTheShippedEntry) {
    std::vector<std::string> errors;
    EXPECT_EQ(dm_.LoadBuiltIn(&errors), 1);
    EXPECT_TRUE(errors.empty());
    coredll::ActiveDriver* d = dm_.Find("RTC1:");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->context, 1u);
    EXPECT_EQ(coredll::reg::GetString(d->active_key, "Name"), "RTC1:");
    EXPECT_EQ(coredll::debug::Texts(), std::vector<std::string>{"We did not save RTC before\r\n"});
    EXPECT_TRUE(coredll::modules::IsLoaded(u"Timeward.dll"));
    EXPECT_TRUE(coredll::threads::EventExists(u"SaveRTCEvent"));
    EXPECT_EQ(coredll::threads::Alive(), 1);
    for (auto fn : {(void*)d->entry.Open, (void*)d->entry.Close, (void*)d->entry.Read,
                    (void*)d->entry.Write, (void*)d->entry.Seek, (void*)d->entry.PowerUp,
                    (void*)d->entry.PowerDown, (void*)d->entry.IOControl}) {
        EXPECT_NE(fn, nullptr);
    }
}

TEST_F(Driver, InertEntryPointsSucceedAndTouchNothing) {
    coredll::ActiveDriver& d = Start();
    coredll::clock::Settle();
    const std::string registry = coredll::reg::ExportText();
    const size_t lines = coredll::debug::Lines().size();
    DWORD open = d.entry.Open(d.context, 0xC0000000, 0);
    EXPECT_EQ(open, 1u);
    std::array<BYTE, 100> buf;
    buf.fill(0x3C);
    EXPECT_EQ(d.entry.Read(open, buf.data(), 100), 1u);
    for (BYTE b : buf)
        ASSERT_EQ(b, 0x3C);
    EXPECT_EQ(d.entry.Write(open, buf.data(), 0), 1u);
    EXPECT_EQ(d.entry.Write(open, buf.data(), 100), 1u);
    for (LONG amount : {0, -1, 1 << 30}) {
        for (DWORD method : {0u, 1u, 2u, 99u})
            EXPECT_EQ(d.entry.Seek(open, amount, method), 1u);
    }
    d.entry.PowerDown(d.context);
    d.entry.PowerUp(d.context);
    EXPECT_TRUE(d.entry.Close(open));
    coredll::clock::Settle();
    EXPECT_EQ(coredll::reg::ExportText(), registry);
    EXPECT_EQ(coredll::debug::Lines().size(), lines);
}

TEST_F(Driver, ReadAndWriteIgnoreUnreachableBuffers) {
    coredll::ActiveDriver& d = Start();
    Pages pages;
    for (BYTE* p : {static_cast<BYTE*>(nullptr), pages.ReadOnly(), pages.Unmapped()}) {
        EXPECT_EQ(d.entry.Read(1, p, 100), 1u);
        EXPECT_EQ(d.entry.Write(1, p, 100), 1u);
    }
    EXPECT_TRUE(pages.ReadOnlyUntouched());
}

// Another kind of object holds "SaveRTCEvent": the saver runs on its own wake-up alone and says
// that requests by name go unheard, and the start leaves the caller's error code as it was.
TEST_F(Driver, SaverRunsWithoutTheSaveEventWhenItsNameIsTaken) {
    coredll::ActiveDriver& d = Start();
    EXPECT_TRUE(d.entry.Deinit(d.context));
    coredll::threads::TakeName(u"SaveRTCEvent");
    coredll::debug::Clear();
    SetLastError(0xBEEF);
    EXPECT_EQ(d.entry.Init(u"Drivers\\Active\\01", nullptr), 1u);
    EXPECT_EQ(GetLastError(), 0xBEEFu);
    EXPECT_EQ(CountLines("SaveRTCEvent cannot be opened (error 6): requests by name will not be "
                         "heard\r\n"),
              1);
    coredll::clock::Advance(300000);
    DWORD state = D4, actual = 0;
    EXPECT_TRUE(d.entry.IOControl(d.context, IOCTL_POWER_SET, nullptr, 0,
                                  reinterpret_cast<PBYTE>(&state), 4, &actual));
    coredll::clock::Settle();
    EXPECT_EQ(Snapshots(), 2) << "periodic, and on request";
    EXPECT_TRUE(d.entry.Deinit(d.context));
    EXPECT_EQ(Snapshots(), 3);
}

TEST_F(Driver, SwitchAtOneLeavesNoModuleNoEventNoThread) {
    coredll::reg::SetDword(kKey, "TimewardImplemented", 1);
    std::string error;
    EXPECT_FALSE(dm_.Activate("Timeward", &error));
    EXPECT_NE(error.find("refused"), std::string::npos) << error;
    EXPECT_EQ(coredll::debug::Texts(),
              std::vector<std::string>{"Timeward is already implemented\r\n"});
    EXPECT_FALSE(coredll::modules::IsLoaded(u"Timeward.dll"));
    EXPECT_FALSE(coredll::threads::EventExists(u"SaveRTCEvent"));
    EXPECT_EQ(coredll::threads::Started(), 0u);
    EXPECT_TRUE(dm_.Active().empty());
    EXPECT_TRUE(coredll::reg::SubKeys("Drivers\\Active").empty());
}

TEST_F(Driver, DeinitTakesALastSnapshotEndsTheSaverAndInitWorksAgain) {
    coredll::ActiveDriver& d = Start();
    coredll::clock::Advance(1000);
    DWORD state = D4, actual = 0;
    EXPECT_TRUE(d.entry.IOControl(d.context, IOCTL_POWER_SET, nullptr, 0,
                                  reinterpret_cast<PBYTE>(&state), 4, &actual));
    EXPECT_TRUE(d.entry.Deinit(d.context));
    EXPECT_EQ(Snapshots(), 1);
    EXPECT_EQ(coredll::threads::Alive(), 0);
    EXPECT_EQ(coredll::threads::OpenHandles(), 0);
    EXPECT_FALSE(coredll::threads::EventExists(u"SaveRTCEvent"));

    EXPECT_EQ(d.entry.Init(u"Drivers\\Active\\01", nullptr), 1u);
    EXPECT_EQ(coredll::threads::Alive(), 1);
    DWORD got = 0xAAAA;
    EXPECT_TRUE(d.entry.IOControl(d.context, IOCTL_POWER_GET, nullptr, 0,
                                  reinterpret_cast<PBYTE>(&got), 4, &actual));
    EXPECT_EQ(got, static_cast<DWORD>(D0)) << "a new instance starts in D0";
    coredll::clock::Advance(3 * 300000);
    EXPECT_EQ(Snapshots(), 4) << "the restarted saver keeps to its interval";
}

// Two instances of the module share one saver, which runs until the last of them ends.
TEST_F(Driver, SaverRunsUntilTheLastInstanceEnds) {
    coredll::ActiveDriver& d = Start();
    EXPECT_EQ(d.entry.Init(u"Drivers\\Active\\02", nullptr), 1u);
    EXPECT_EQ(coredll::threads::Started(), 1u) << "no second saver";
    for (DWORD never_handed_out : {0u, 2u, 7u, 0xFFFFFFFFu})
        EXPECT_FALSE(d.entry.Deinit(never_handed_out)) << never_handed_out;
    EXPECT_TRUE(d.entry.Deinit(d.context));
    EXPECT_EQ(Snapshots(), 0) << "not the last instance: no last snapshot";
    coredll::clock::Advance(3 * 300000);
    EXPECT_EQ(Snapshots(), 3) << "the other instance's saver runs on";
    DWORD state = D4, actual = 0;
    EXPECT_TRUE(d.entry.IOControl(d.context, IOCTL_POWER_SET, nullptr, 0,
                                  reinterpret_cast<PBYTE>(&state), 4, &actual));
    coredll::clock::Settle();
    EXPECT_EQ(Snapshots(), 4);

    EXPECT_TRUE(d.entry.Deinit(d.context));
    EXPECT_EQ(Snapshots(), 5);
    EXPECT_EQ(coredll::threads::Alive(), 0);
    EXPECT_EQ(coredll::threads::OpenHandles(), 0);
    // No instance is left: a further Deinit, or one of a context never handed out, changes
    // nothing.
    EXPECT_FALSE(d.entry.Deinit(d.context));
    EXPECT_FALSE(d.entry.Deinit(7));
    EXPECT_EQ(Snapshots(), 5);
    EXPECT_EQ(coredll::threads::BadHandleUses(), 0u);
    EXPECT_EQ(d.entry.Init(u"Drivers\\Active\\03", nullptr), 1u);
    EXPECT_FALSE(d.entry.Deinit(0));
    EXPECT_EQ(coredll::threads::Alive(), 1);
}

class DeviceLife : public ModuleTest {
  protected:
    void SetUp() override {
        ModuleTest::SetUp();
        coredll::reg::Flush();
        std::ofstream(hive_) << coredll::reg::ExportText();
        std::string error;
        ASSERT_TRUE(coredll::reg::LoadHiveFile(hive_, &error)) << error;
    }
    // Boots a fresh core library from what is on storage, as the next boot will.
    std::optional<DWORD> Reboot(const char* name) {
        coredll::Reset();
        coredll::debug::EchoToStderr(false);
        coredll::modules::SetSearchPath(TIMEWARD_MODULE_DIR);
        std::string error;
        EXPECT_TRUE(coredll::reg::LoadHiveFile(hive_, &error)) << error;
        return coredll::reg::GetDword(kKey, name);
    }
    ScratchDir scratch_{"timeward-life"};
    const fs::path hive_ = scratch_.path() / "hive.reg";
};

TEST_F(DeviceLife, SuspendSnapshotReachesTheHiveFileAndTheNextBootRestoresIt) {
    coredll::clock::SetWall(Record(2026, 12, 8, 9, 30));
    Start();
    coredll::clock::Advance(60000);
    EXPECT_EQ(dm_.SetDevicePower(D3), 1);  // suspend: the driver supports D4 only
    coredll::clock::Settle();
    EXPECT_EQ(Snapshots(), 1);
    EXPECT_EQ(dm_.Find("RTC1:")->power, D4);
    EXPECT_EQ(dm_.SetDevicePower(D4), 0) << "no change, no request";
    EXPECT_EQ(dm_.SetDevicePower(D0), 1);
    dm_.DeactivateAll();
    EXPECT_FALSE(coredll::modules::IsLoaded(u"Timeward.dll"));
    EXPECT_EQ(coredll::threads::Alive(), 0);
    EXPECT_EQ(Snapshots(), 2) << "the last one at deactivation";

    // Battery pulled: the next boot starts in 2003, with the hive as stored.
    EXPECT_EQ(Reboot("RTCMinute"), 31u);
    coredll::clock::SetWall(Record(2003, 1, 1));
    Start();
    EXPECT_EQ(CountLines("SavedTime is bigger than CurrentTime for more than 5 minutes\r\n"), 1);
    EXPECT_TRUE(SameTime(coredll::clock::Now(), Record(2026, 12, 8, 9, 31)))
        << Show(coredll::clock::Now());
}

TEST_F(DeviceLife, PowerCutLosesOnlyWhatWasNotFlushed) {
    coredll::clock::SetWall(Record(2026, 12, 8, 9, 30));
    Start();
    coredll::clock::Advance(300000);  // periodic snapshot at 09:35, flushed
    coredll::reg::FailFlushes(true);
    coredll::clock::Advance(300000);  // 09:40, not flushed, and not called saved
    EXPECT_EQ(Snapshots(), 1);
    EXPECT_EQ(CountLines("RTC is not saved: error 29\r\n"), 1);
    coredll::reg::PowerCut();
    EXPECT_EQ(coredll::reg::GetDword(kKey, "RTCMinute"), 35u);
    coredll::reg::FailFlushes(false);
}

}  // namespace
