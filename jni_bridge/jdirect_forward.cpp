// The 45 forwarding exports: each writes its name to the debug log and hands its
// arguments unchanged to the call layer.
#include "jni_bridge/bridge_log.h"
#include "jni_bridge/cryptoki.h"
#include "jni_bridge/jdirect.h"

namespace {
constexpr bool SameText(const char* a, const char* b) {
  while (*a && *a == *b) ++a, ++b;
  return *a == *b;
}
// Each export logs its own name; the slot list has always logged a "2" after it.
constexpr const char* LogName(const char* name) {
  return SameText(name, "jdirect_C_GetSlotList") ? "jdirect_C_GetSlotList 2" : name;
}
static_assert(SameText(LogName("jdirect_C_GetSlotList"), "jdirect_C_GetSlotList 2"));
static_assert(SameText(LogName("jdirect_C_Login"), "jdirect_C_Login"));
}  // namespace

extern "C" {

#define BRIDGE_FORWARD(name, params, args) \
  CK_RV jdirect_##name params {            \
    log_line(LogName("jdirect_" #name));   \
    return cryptoki_##name args;           \
  }
BRIDGE_FORWARDED_FUNCTIONS
#undef BRIDGE_FORWARD

}  // extern "C"
