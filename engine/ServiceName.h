// The service's name, as its record, its event source, its locks and every message know it. The
// resource script includes this too (its string 100), so it holds only what a resource compiler
// reads.
#pragma once

#define CORVANE_SERVICE_NAME "CorvaneService"

#ifndef RC_INVOKED
inline constexpr char16_t kServiceName[] = u"" CORVANE_SERVICE_NAME;
#endif
