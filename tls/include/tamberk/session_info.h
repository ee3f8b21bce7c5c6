// What a session's TLS handshake settled on, for logs, benchmarks and tests. Not part of the
// per-session operations interface: nothing in the data path depends on it.
#pragma once
#include <string>

#include "tamberk/export.h"
#include "util/shared_object.h"

namespace tamberk {

// Protocol and suite of the session's active connection, e.g. "TLSv1.2 AES256-GCM-SHA384"; ""
// for a null or foreign session or before the handshake completed.
TAMBERK_API std::string NegotiatedSuite(const SharedObjectPtr<SharedObject>& session);

}  // namespace tamberk
