// The codec's diagnostic lines go through the shared daily log, which reads the machine's
// settings store: these tests run on a machine root of their own.
#include "testsupport/temp_root.h"

namespace {

const testsupport::TempRoot g_root{"qel-gateway-codec-test"};

}  // namespace
