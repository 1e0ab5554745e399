#pragma once
// Control functions of libacpkcs.so, our stand-in for the card middleware's
// PKCS#11 module. Tests reach them by dlopen()ing the same file the program
// loads (the loader counts references, so both see one instance) and looking
// each name up with dlsym(); nothing links against the module.
//
// Slot indexes count the slots in the order C_GetSlotList(FALSE, ...) reports
// them at the moment of the call (hidden slots left out, fake slots last).
// Every function returns 0 on success and -1 on a bad argument unless stated.
#include <stddef.h>

#include "interfaces/pkcs11.h"

#ifdef __cplusplus
extern "C" {
#endif

// X(result type, name, parameter list)
#define ACPKCS_CONTROL_FUNCTIONS(X)                                                                     \
  /* Back to the defaults: every card present, no failures, fakes, overrides or log. */                 \
  X(int, acpkcs_ctl_reset, (void))                                                                      \
  /* Number of slots C_GetSlotList(FALSE) reports now; -1 before C_Initialize. */                       \
  X(int, acpkcs_ctl_slot_count, (void))                                                                 \
  /* The slot id at an index, or CK_UNAVAILABLE_INFORMATION. */                                         \
  X(CK_SLOT_ID, acpkcs_ctl_slot_id, (int index))                                                        \
  /* Takes the card out of or puts it into a reader; the notify callbacks run on the caller's thread */ \
  /* before this returns. */                                                                            \
  X(int, acpkcs_ctl_set_card_present, (int index, int present))                                         \
  X(int, acpkcs_ctl_set_card_present_id, (CK_SLOT_ID slot, int present))                                \
  /* The event value that reports a removal (default 2); insertion is always 3. */                      \
  X(int, acpkcs_ctl_set_removal_event, (CK_NOTIFICATION event))                                         \
  /* Leaves out slots whose token is not initialised (SoftHSM2's free slot): one reader. */             \
  X(int, acpkcs_ctl_hide_uninitialised_slots, (int on))                                                 \
  /* Consecutive wrong user PINs before the PIN locks; 0 switches the policy off (the default). */      \
  X(int, acpkcs_ctl_set_pin_policy, (int maxTries))                                                     \
  X(int, acpkcs_ctl_set_unlock_code, (const char* code))                                                \
  X(int, acpkcs_ctl_set_so_pin, (const char* pin))                                                      \
  /* Token flags reported := (real flags & andMask) | orMask; index -1 means every slot. */             \
  X(int, acpkcs_ctl_token_flags, (int index, CK_FLAGS orMask, CK_FLAGS andMask))                        \
  /* The nth next call (1 = the next) of the named function returns rv without doing anything; */       \
  /* nth 0 makes every call fail until the failures are cleared. */                                     \
  X(int, acpkcs_ctl_fail, (const char* function, CK_RV rv, unsigned long nth))                          \
  X(int, acpkcs_ctl_clear_failures, (void))                                                             \
  /* Adds empty readers (no card) after the real slots. */                                              \
  X(int, acpkcs_ctl_add_fake_slots, (int count))                                                        \
  /* Vendor mechanisms appended to every real slot's mechanism list. */                                 \
  X(int, acpkcs_ctl_extra_mechanisms, (CK_ULONG count))                                                 \
  /* Call log: one line per call, "name param=value ... -> 0xRV". */                                    \
  X(int, acpkcs_ctl_record, (int on))                                                                   \
  /* Copies the log with a terminating NUL and clears it; returns its length. With a null buffer, */    \
  /* or one too small, nothing is copied or cleared. */                                                 \
  X(size_t, acpkcs_ctl_take_log, (char* buffer, size_t capacity))                                       \
  /* The control file to follow (as TARVI_CARD_CONTROL names it); null or "" stops following. */        \
  X(int, acpkcs_ctl_set_control_file, (const char* path))                                               \
  /* Reads the control file now if it changed; notifications run on the caller's thread. */             \
  X(int, acpkcs_ctl_poll_control_file, (void))

#define ACPKCS_DECLARE_CONTROL(result, name, params) __attribute__((visibility("default"))) result name params;
ACPKCS_CONTROL_FUNCTIONS(ACPKCS_DECLARE_CONTROL)
#undef ACPKCS_DECLARE_CONTROL

#ifdef __cplusplus
}
#endif
