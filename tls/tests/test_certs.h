// The shared test certificates under the names these tests use.
#pragma once
#include "testsupport/certs.h"
#include "testsupport/temp_dir.h"

namespace tamberk::test {

using testsupport::CertKey;
using testsupport::MakeCert;
using testsupport::SerialHexOf;
using testsupport::WriteKeyPem;
using testsupport::WritePem;
// A fresh temporary folder, removed by the destructor.
using TempDir = testsupport::TempDir;

}  // namespace tamberk::test
