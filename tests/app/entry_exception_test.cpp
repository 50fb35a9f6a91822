// An exception that reaches the program entry: memory runs out while the
// forms are created. It is shown in the framework's exception box and the
// program still ends with 0.
#include <cstdlib>
#include <new>

#include "app_test.h"

#include "app/Jutility.h"
#include "app/Main.h"

namespace {

// The size of the next allocation that fails, 0 for none.
std::size_t failingSize = 0;

}  // namespace

void* operator new(std::size_t size) {
    if (failingSize != 0 && size == failingSize) {
        failingSize = 0;
        throw std::bad_alloc();
    }
    if (void* memory = std::malloc(size != 0 ? size : 1)) return memory;
    throw std::bad_alloc();
}

// The pair of the operator new above: its memory comes from malloc.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t /*size*/) noexcept { std::free(memory); }
#pragma GCC diagnostic pop

namespace apptest {
namespace {

using EntryExceptionTest = AppTest;

TEST_F(EntryExceptionTest, OutOfMemoryWhileCreatingTheFormsIsShownAndEndsWithZero) {
    AddDisk(u"DISK");
    failingSize = sizeof(TJUtilityForm);  // the second form
    const int result = AppMain();
    failingSize = 0;
    EXPECT_EQ(result, 0);
    // Any exception other than the framework's is shown with an empty message.
    EXPECT_EQ(Boxes(), std::vector<Box>{ExceptionBox("")});
    EXPECT_EQ(vcl::Application->Forms().size(), 1u);
    EXPECT_FALSE(MainForm->Visible());
    EXPECT_TRUE(VisibleWindows().empty());
}

}  // namespace
}  // namespace apptest
