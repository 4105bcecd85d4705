// The embedded interpreter and the prepared module state work together.
#include "embedded_python.h"

namespace vorn::testing {
namespace {

using SmokeTest = PythonTest;

TEST_F(SmokeTest, PreparedStateLooksUpBuiltins) {
    prepare_module_state();
    Ref len = lookup_module_global(interned_name("len").get(), module_globals.os_lookup_cache);
    ASSERT_TRUE(len) << take_error();
    EXPECT_EQ("<built-in function len>", text(len.get()));
}

}  // namespace
}  // namespace vorn::testing
