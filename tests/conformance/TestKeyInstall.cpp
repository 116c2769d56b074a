// Linked into the tests' lvpatch only: that program trusts the tests' key,
// as a launcher built with -DLV_TRUSTED_KEY=<its public half> would.
#include "patch/Trust.h"

#ifndef LV_TEST_TRUSTED_KEY
#error "LV_TEST_TRUSTED_KEY must name the tests' public key"
#endif

namespace {

[[maybe_unused]] const bool kInstalled = (SetTrustedKeyForTests(LV_TEST_TRUSTED_KEY), true);

}  // namespace
