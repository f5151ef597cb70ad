// Sets up the saver's lock once for a test program that links the clock keeping directly, as
// the module's DllMain does when the module is loaded.
#include <gtest/gtest.h>

#include "saver.h"

namespace {

class SaverLock : public ::testing::Environment {
  public:
    void SetUp() override {
        InitSaverLock();
    }
    void TearDown() override {
        DeleteSaverLock();
    }
};

const ::testing::Environment* const kSaverLock = ::testing::AddGlobalTestEnvironment(new SaverLock);

}  // namespace
