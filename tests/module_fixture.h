// The Timeward module as the Device Manager loads it from the shipped registry configuration.
#ifndef TIMEWARD_TESTS_MODULE_FIXTURE_H
#define TIMEWARD_TESTS_MODULE_FIXTURE_H

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "devmgr.h"
#include "sim_fixture.h"

namespace timeward_test {

class ModuleTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        coredll::modules::SetSearchPath(TIMEWARD_MODULE_DIR);
        std::string error;
        ASSERT_TRUE(coredll::reg::MergeRegFile(TIMEWARD_REG_FILE, &error)) << error;
    }
    void StopDriver() override {
        dm_.DeactivateAll();
    }
    // Activates the driver and returns it; fails the test if it does not come up.
    coredll::ActiveDriver& Start() {
        std::string error;
        EXPECT_TRUE(dm_.Activate("Timeward", &error)) << error;
        coredll::ActiveDriver* d = dm_.Find("RTC1:");
        if (!d)
            throw std::runtime_error("the driver did not start: " + error);
        return *d;
    }
    coredll::DeviceManager dm_;
};

// Three pages: writable, read-only, and inaccessible.
class Pages {
  public:
    Pages() : size_(static_cast<size_t>(sysconf(_SC_PAGESIZE))) {
        base_ = static_cast<BYTE*>(
            mmap(nullptr, 3 * size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        std::memset(base_, 0xA5, 2 * size_);
        mprotect(base_ + size_, size_, PROT_READ);
        mprotect(base_ + 2 * size_, size_, PROT_NONE);
    }
    ~Pages() {
        munmap(base_, 3 * size_);
    }
    Pages(const Pages&) = delete;
    Pages& operator=(const Pages&) = delete;
    BYTE* ReadOnly() const {
        return base_ + size_;
    }
    BYTE* Unmapped() const {
        return base_ + 2 * size_;
    }
    // Whether the read-only page still holds only its fill.
    bool ReadOnlyUntouched() const {
        for (size_t i = 0; i < size_; ++i) {
            if (base_[size_ + i] != 0xA5)
                return false;
        }
        return true;
    }

  private:
    size_t size_;
    BYTE* base_;
};

}  // namespace timeward_test

#endif  // TIMEWARD_TESTS_MODULE_FIXTURE_H
