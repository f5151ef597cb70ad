// Tests of the power requests through the loaded module, as the Power Manager sends them.
#include <gtest/gtest.h>

#include <array>

#include "module_fixture.h"

namespace {

using namespace timeward_test;

constexpr DWORD kNoError = 0xBEEF;
constexpr DWORD kCapsSize = 48;

class Power : public ModuleTest {
  protected:
    void SetUp() override {
        ModuleTest::SetUp();
        d_ = &Start();
        coredll::clock::Settle();
        coredll::debug::Clear();
    }
    BOOL Ioctl(DWORD code, void* out, DWORD len, DWORD* actual, void* in = nullptr,
               DWORD in_len = 0) {
        SetLastError(kNoError);
        return d_->entry.IOControl(d_->context, code, static_cast<PBYTE>(in), in_len,
                                   static_cast<PBYTE>(out), len, actual);
    }
    // Sends IOCTL_POWER_SET for `state` and lets the saver run.
    BOOL Set(DWORD* state, DWORD* actual, DWORD len = 4) {
        BOOL ok = Ioctl(IOCTL_POWER_SET, state, len, actual);
        coredll::clock::Settle();
        return ok;
    }
    coredll::ActiveDriver* d_ = nullptr;
};

TEST_F(Power, DeviceManagerLearnedTheCapabilitiesAtInit) {
    EXPECT_TRUE(d_->power_manageable);
    ASSERT_TRUE(d_->caps_known);
    EXPECT_EQ(d_->caps.DeviceDx, 0x11);
}

TEST_F(Power, CapabilitiesNeedFortyEightBytes) {
    std::array<BYTE, 64> out;
    out.fill(0xEE);
    DWORD actual = 0;
    EXPECT_FALSE(Ioctl(IOCTL_POWER_CAPABILITIES, out.data(), 47, &actual));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(out[0], 0xEE);
    EXPECT_EQ(actual, 0u);
    EXPECT_FALSE(Ioctl(IOCTL_POWER_CAPABILITIES, nullptr, 48, &actual));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    for (DWORD len : {48u, 64u}) {
        out.fill(0xEE);
        actual = 0;
        EXPECT_TRUE(Ioctl(IOCTL_POWER_CAPABILITIES, out.data(), len, &actual)) << len;
        EXPECT_EQ(actual, kCapsSize);
        EXPECT_EQ(out[0], 0x11);
        for (DWORD i = 1; i < kCapsSize; ++i)
            EXPECT_EQ(out[i], 0) << "byte " << i;
        for (DWORD i = kCapsSize; i < out.size(); ++i)
            EXPECT_EQ(out[i], 0xEE) << "byte " << i;
    }
    EXPECT_TRUE(Ioctl(IOCTL_POWER_CAPABILITIES, out.data(), 48, nullptr));
    EXPECT_EQ(GetLastError(), kNoError);
    EXPECT_EQ(Snapshots(), 0);
}

// D0 after D4 is also a resume: the clock ran on while the tick count stood still, so a nudge
// of the clock after it is no set beyond the margin.
TEST_F(Power, SetD0IsEchoedWithoutASnapshot) {
    DWORD state = D0, actual = 0;
    EXPECT_TRUE(Set(&state, &actual));
    EXPECT_EQ(state, 0u);
    EXPECT_EQ(actual, 4u);
    EXPECT_EQ(Snapshots(), 0);

    coredll::clock::Advance(2000);  // the saver hears of changes of the clock
    state = D4;
    EXPECT_TRUE(Set(&state, &actual));
    int64_t ms = 0;
    ASSERT_TRUE(coredll::clock::ToMs(coredll::clock::Now(), &ms));
    coredll::clock::SetWall(coredll::clock::FromMs(ms + 45 * 60000));  // asleep for 45 minutes
    state = D0;
    EXPECT_TRUE(Set(&state, &actual));
    const SYSTEMTIME nudged = coredll::clock::FromMs(ms + 45 * 60000 + 5000);
    SetSystemTime(&nudged);
    coredll::clock::Settle();
    EXPECT_EQ(Snapshots(), 1) << "the D4's alone";
}

TEST_F(Power, EveryLowPowerStateBecomesD4WithOneSnapshotAtOnce) {
    for (DWORD requested : {1u, 2u, 3u, 4u}) {
        DWORD state = requested, actual = 0;
        EXPECT_TRUE(Set(&state, &actual)) << requested;
        EXPECT_EQ(state, 4u);
        EXPECT_EQ(actual, 4u);
        EXPECT_EQ(Snapshots(), static_cast<int>(requested)) << requested;
        EXPECT_EQ(coredll::clock::NowMs(), 0u) << "no time had to pass";
    }
}

TEST_F(Power, InvalidStatesFailWithoutErrorOrSnapshot) {
    for (DWORD requested : {5u, 0xFFFFFFFFu, 0x80000000u}) {
        DWORD state = requested, actual = 0;
        EXPECT_FALSE(Set(&state, &actual));
        EXPECT_EQ(GetLastError(), kNoError);
        EXPECT_EQ(state, requested);
        EXPECT_EQ(actual, 0u);
    }
    DWORD state = D1, actual = 0;
    EXPECT_FALSE(Set(&state, &actual, 3)) << "out length below 4";
    EXPECT_FALSE(Set(nullptr, &actual));
    EXPECT_EQ(GetLastError(), kNoError);
    EXPECT_EQ(Snapshots(), 0);
}

TEST_F(Power, SetWithoutAByteCountPointerStillSavesButFails) {
    DWORD state = D3;
    EXPECT_FALSE(Set(&state, nullptr));
    EXPECT_EQ(GetLastError(), kNoError);
    EXPECT_EQ(state, 4u);
    EXPECT_EQ(Snapshots(), 1);
    DWORD got = 0xAAAA, actual = 0;
    EXPECT_TRUE(Ioctl(IOCTL_POWER_GET, &got, 4, &actual));
    EXPECT_EQ(got, static_cast<DWORD>(D0)) << "a set that failed records no state";
}

TEST_F(Power, SetAndGetTakeAnOutBufferOfAtLeastFourBytes) {
    for (DWORD len : {8u, 64u}) {
        std::array<DWORD, 16> out;
        out.fill(0xAAAAAAAA);
        out[0] = D2;
        DWORD actual = 0;
        EXPECT_TRUE(Set(out.data(), &actual, len)) << len;
        EXPECT_EQ(out[0], 4u);
        EXPECT_EQ(out[1], 0xAAAAAAAAu) << "only the state is written back";
        EXPECT_EQ(actual, 4u);
        out[0] = 0;
        actual = 0;
        EXPECT_TRUE(Ioctl(IOCTL_POWER_GET, out.data(), len, &actual)) << len;
        EXPECT_EQ(out[0], 4u);
        EXPECT_EQ(actual, 4u);
    }
    EXPECT_EQ(Snapshots(), 2);
}

TEST_F(Power, GetReportsTheStateLastAccepted) {
    DWORD state = 0xAAAA, actual = 0;
    EXPECT_TRUE(Ioctl(IOCTL_POWER_GET, &state, 4, &actual));
    EXPECT_EQ(state, 0u) << "D0 before any set";
    EXPECT_EQ(actual, 4u);
    DWORD set = D2;
    Set(&set, &actual);
    EXPECT_TRUE(Ioctl(IOCTL_POWER_GET, &state, 4, &actual));
    EXPECT_EQ(state, 4u);
    // A second instance starts while the Power Manager holds the device in D4.
    ASSERT_EQ(d_->entry.Init(u"Drivers\\Active\\02", nullptr), 1u);
    EXPECT_TRUE(Ioctl(IOCTL_POWER_GET, &state, 4, &actual));
    EXPECT_EQ(state, 4u) << "only the first instance starts in D0";
    coredll::reg::SetDword(kKey, "TimewardImplemented", 1);
    ASSERT_EQ(d_->entry.Init(u"Drivers\\Active\\03", nullptr), 0u);
    EXPECT_TRUE(Ioctl(IOCTL_POWER_GET, &state, 4, &actual));
    EXPECT_EQ(state, 4u) << "nor does a start that the switch refuses";
    EXPECT_TRUE(d_->entry.Deinit(d_->context));
    set = 7;  // refused: the state stays
    Set(&set, &actual);
    EXPECT_TRUE(Ioctl(IOCTL_POWER_GET, &state, 4, &actual));
    EXPECT_EQ(state, 4u);
    set = D0;
    Set(&set, &actual);
    EXPECT_TRUE(Ioctl(IOCTL_POWER_GET, &state, 4, &actual));
    EXPECT_EQ(state, 0u);
    EXPECT_EQ(Snapshots(), 1) << "a get requests no snapshot";
}

TEST_F(Power, GetFailsWithInvalidParameter) {
    DWORD state = 0xAAAA, actual = 0;
    EXPECT_FALSE(Ioctl(IOCTL_POWER_GET, &state, 4, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(Ioctl(IOCTL_POWER_GET, &state, 3, &actual));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(Ioctl(IOCTL_POWER_GET, nullptr, 4, &actual));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(state, 0xAAAAu);
    EXPECT_EQ(actual, 0u);
}

TEST_F(Power, OtherRequestsFailWithoutAnErrorCode) {
    DWORD state = D4, actual = 0;
    for (DWORD code : {static_cast<DWORD>(IOCTL_POWER_QUERY), 0u, 0x00321010u, 0xFFFFFFFFu}) {
        EXPECT_FALSE(Ioctl(code, &state, 4, &actual)) << std::hex << code;
        EXPECT_EQ(GetLastError(), kNoError);
    }
    // Through the in buffer alone, with the out buffer absent.
    for (DWORD code : {static_cast<DWORD>(IOCTL_POWER_CAPABILITIES),
                       static_cast<DWORD>(IOCTL_POWER_SET), static_cast<DWORD>(IOCTL_POWER_GET)}) {
        EXPECT_FALSE(Ioctl(code, nullptr, 0, &actual, &state, 4)) << std::hex << code;
    }
    coredll::clock::Settle();
    EXPECT_EQ(state, 4u);
    EXPECT_EQ(Snapshots(), 0);
}

TEST_F(Power, UnreachableOutBuffersFailTheRequestWithoutAFault) {
    Pages pages;
    DWORD actual = 0;
    for (BYTE* out : {pages.ReadOnly(), pages.Unmapped()}) {
        EXPECT_FALSE(Ioctl(IOCTL_POWER_CAPABILITIES, out, 48, &actual));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_FALSE(Ioctl(IOCTL_POWER_GET, out, 4, &actual));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    // The request just before leaves D0 where a request that went on with an unread state
    // would find one.
    DWORD d0 = D0;
    EXPECT_TRUE(Ioctl(IOCTL_POWER_SET, &d0, 4, &actual));
    actual = 0;
    const uint64_t copies = coredll::memory::Copies();
    EXPECT_FALSE(Set(reinterpret_cast<DWORD*>(pages.Unmapped()), &actual));
    EXPECT_EQ(coredll::memory::Copies(), copies + 1) << "nothing follows a failed read";
    EXPECT_EQ(GetLastError(), kNoError);
    EXPECT_EQ(Snapshots(), 0) << "a state that cannot be read is no request";
    EXPECT_EQ(actual, 0u);
    DWORD state = 0xAAAA;
    EXPECT_TRUE(Ioctl(IOCTL_POWER_GET, &state, 4, &actual));
    EXPECT_EQ(state, static_cast<DWORD>(D0)) << "and records no state";
    EXPECT_TRUE(pages.ReadOnlyUntouched());
}

TEST_F(Power, ReadOnlyOutBufferStillGivesTheSnapshotItAskedFor) {
    Pages pages;
    DWORD actual = 0;
    // The page holds 0xA5A5A5A5: not a state. Ask for D4 through a read-only copy of it.
    BYTE* ro = pages.ReadOnly();
    mprotect(ro, static_cast<size_t>(sysconf(_SC_PAGESIZE)), PROT_READ | PROT_WRITE);
    const DWORD d4 = D4;
    std::memcpy(ro, &d4, 4);
    mprotect(ro, static_cast<size_t>(sysconf(_SC_PAGESIZE)), PROT_READ);
    EXPECT_FALSE(Set(reinterpret_cast<DWORD*>(ro), &actual));
    EXPECT_EQ(GetLastError(), kNoError);
    EXPECT_EQ(Snapshots(), 1);
    EXPECT_EQ(actual, 0u);
    DWORD got = 0xAAAA;
    EXPECT_TRUE(Ioctl(IOCTL_POWER_GET, &got, 4, &actual));
    EXPECT_EQ(got, static_cast<DWORD>(D0)) << "a set that failed records no state";
}

TEST_F(Power, UnreachableByteCountFailsTheRequest) {
    Pages pages;
    std::array<BYTE, 48> caps{};
    for (BYTE* count : {pages.ReadOnly(), pages.Unmapped()}) {
        DWORD* actual = reinterpret_cast<DWORD*>(count);
        EXPECT_FALSE(Ioctl(IOCTL_POWER_CAPABILITIES, caps.data(), 48, actual));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        DWORD state = D1;
        EXPECT_FALSE(Set(&state, actual));
        EXPECT_EQ(GetLastError(), kNoError);
        EXPECT_EQ(state, 4u);
        EXPECT_FALSE(Ioctl(IOCTL_POWER_GET, &state, 4, actual));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_TRUE(pages.ReadOnlyUntouched());
    EXPECT_EQ(Snapshots(), 2);
}

TEST_F(Power, InBufferPlaysNoPart) {
    Pages pages;
    DWORD state = D4, actual = 0;
    SetLastError(kNoError);
    EXPECT_TRUE(d_->entry.IOControl(d_->context, IOCTL_POWER_SET, pages.Unmapped(), 4,
                                    reinterpret_cast<PBYTE>(&state), 4, &actual));
    EXPECT_EQ(actual, 4u);
}

}  // namespace
