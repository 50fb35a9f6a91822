// gtest main for every test group: each test runs in an empty World, and
// whatever a test leaves behind in it (devices, handles, pending ASPI
// requests) is dropped when the test ends. Loaded libraries stay counted, so
// a test that leaks one is seen by the next check.
#include <gtest/gtest.h>

#include "winsim/world.h"

namespace {

class FreshWorld : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo& /*test*/) override { winsim::World::Get().Reset(); }
    void OnTestEnd(const testing::TestInfo& /*test*/) override { winsim::World::Get().Reset(); }
};

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new FreshWorld);
    return RUN_ALL_TESTS();
}
