// Windows side of MappingGuard: a file mapped into a view cannot be truncated while the view
// exists, so there is no fault to catch.
#include "platform/MappingGuard.h"

namespace Platform {

bool MappingGuard::Install() { return true; }

void MappingGuard::Watch(const void*, size_t) {}

void MappingGuard::Unwatch() {}

void MappingGuard::Unwatch(const void*) {}

bool MappingGuard::Lost() { return false; }

}  // namespace Platform
