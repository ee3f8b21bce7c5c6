// Every codec test runs on a machine root of its own: the diagnostic lines go through the shared
// daily log, which reads its level table from the machine's settings store.
#include "testsupport/temp_root.h"

namespace {

const testsupport::TempRoot g_root{"wendrel-test"};

}  // namespace
